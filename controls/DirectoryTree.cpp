#include "controls/DirectoryTree.h"

#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>

#include "controls/DriveCombo.h"
#include "controls/Prompt.h"

namespace {

QIcon TreeIcon(const QString& normal, const QString& selected) {
  QIcon icon;
  icon.addFile(normal, QSize(16, 16), QIcon::Normal);
  icon.addFile(selected, QSize(16, 16), QIcon::Selected);
  return icon;
}

}  // namespace

CDirectoryTree::CDirectoryTree(QWidget* parent) : QTreeWidget(parent) {
  setHeaderHidden(true);
  setColumnCount(1);
  setRootIsDecorated(false);
  setIndentation(12);
  setExpandsOnDoubleClick(false);
  setItemsExpandable(false);
  setIconSize(QSize(16, 16));
  // No lines and no expand buttons: the images tell chain from subfolder.
  setStyleSheet(QStringLiteral("QTreeView::branch { image: none; border-image: none; }"));
  SetImages(TreeIcon(QStringLiteral(":/tree/closed.svg"), QStringLiteral(":/tree/closed-selected.svg")),
            TreeIcon(QStringLiteral(":/tree/open.svg"), QStringLiteral(":/tree/open-selected.svg")));
  connect(this, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem*, int) { OnDblclk(); });
}

void CDirectoryTree::SetImages(const QIcon& folder, const QIcon& chain) {
  m_folderIcon = folder;
  m_chainIcon = chain;
}

QTreeWidgetItem* CDirectoryTree::NewItem(const QString& text, Kind kind) {
  auto* item = new QTreeWidgetItem(QStringList(text));
  item->setData(0, kKindRole, kind);
  item->setIcon(0, kind == Chain ? m_chainIcon : m_folderIcon);
  return item;
}

bool CDirectoryTree::ShowCurrentFolder() {
  if (!m_strDrive.isEmpty()) {
    CDriveCombo::ChangeToDrive(m_strDrive);
    clear();
  }
  // A folder remembered from earlier may have gone: show the nearest one left.
  QString folder = QDir::cleanPath(CDriveCombo::CurrentFolder());
  while (!QFileInfo(folder).isDir() && folder != QLatin1String("/")) {
    const QString up = QFileInfo(folder).absolutePath();
    folder = up == folder ? QStringLiteral("/") : up;
  }
  clear();
  m_strPath = folder;
  m_strDrive = CDriveCombo::DriveOf(folder);

  QTreeWidgetItem* deepest = NewItem(m_strDrive, Chain);
  addTopLevelItem(deepest);
  const QString below = folder.mid(m_strDrive.size());
  for (const QString& part : below.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
    QTreeWidgetItem* child = NewItem(part, Chain);
    deepest->addChild(child);
    deepest->setExpanded(true);
    deepest = child;
  }
  setCurrentItem(deepest);
  AddSubfolders(m_strPath, deepest);
  return true;
}

void CDirectoryTree::AddSubfolders(const QString& path, QTreeWidgetItem* parent) {
  const QDir dir(path);
  if (!dir.exists() || !dir.isReadable()) {
    gui::ShowMessage(this, QStringLiteral("The folder %1 cannot be read.").arg(QDir::toNativeSeparators(path)),
                     gui::PromptIcon::None);
    return;
  }
  const QStringList names = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                                          QDir::Name | QDir::IgnoreCase);
  for (const QString& name : names) parent->addChild(NewItem(name, Subfolder));
  parent->setExpanded(true);
}

void CDirectoryTree::BuildPath(QTreeWidgetItem* item) {
  QStringList parts;
  QTreeWidgetItem* top = item;
  for (; top->parent(); top = top->parent()) parts.prepend(top->text(0));
  const QString root = top->text(0);
  m_strPath = parts.isEmpty() ? root : QDir::cleanPath(root + QLatin1Char('/') + parts.join(QLatin1Char('/')));
  emit folderChanged();
}

void CDirectoryTree::RemoveChildren(QTreeWidgetItem* item) {
  if (item->childCount() > 0) delete item->takeChild(0);
}

void CDirectoryTree::RemoveSiblings(QTreeWidgetItem* item) {
  QTreeWidgetItem* parent = item->parent();
  if (!parent) {
    for (int i = topLevelItemCount() - 1; i >= 0; --i)
      if (topLevelItem(i) != item) delete takeTopLevelItem(i);
    return;
  }
  for (int i = parent->childCount() - 1; i >= 0; --i)
    if (parent->child(i) != item) delete parent->takeChild(i);
}

void CDirectoryTree::keyPressEvent(QKeyEvent* event) {
  // Enter does what a double-click does; it does not end the dialog.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    OnDblclk();
    event->accept();
    return;
  }
  QTreeWidget::keyPressEvent(event);
}

void CDirectoryTree::OnDblclk() {
  QTreeWidgetItem* item = currentItem();
  if (!item) return;
  if (item->isExpanded() && item->childCount() > 0) {
    // The current folder: its subfolders are listed already.
    if (item->child(0)->data(0, kKindRole).toInt() == Subfolder) return;
    RemoveChildren(item);  // a folder of the chain: the chain below it goes
  } else {
    item->setData(0, kKindRole, Chain);
    item->setIcon(0, m_chainIcon);
    RemoveSiblings(item);
  }
  BuildPath(item);
  AddSubfolders(m_strPath, item);
}
