// A file as a file manager offers it, for the driven suite: a small window
// named "drag source" that starts dragging FILE when pressed, and ends when
// the drag ends.
//   drag_source FILE
#include <QApplication>
#include <QDrag>
#include <QLabel>
#include <QMimeData>
#include <QUrl>

namespace {

class Source : public QLabel {
 public:
  explicit Source(const QString& path) : QLabel(path.section('/', -1)), m_path(path) {
    setWindowTitle(QStringLiteral("drag source"));
    setAlignment(Qt::AlignCenter);
    setFixedSize(160, 60);
  }

 protected:
  void mousePressEvent(QMouseEvent*) override {
    auto* data = new QMimeData;
    data->setUrls({QUrl::fromLocalFile(m_path)});
    auto* drag = new QDrag(this);
    drag->setMimeData(data);
    drag->exec(Qt::CopyAction);
    QApplication::quit();
  }

 private:
  QString m_path;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) return 2;
  Source source(QString::fromLocal8Bit(argv[1]));
  source.move(20, 20);
  source.show();
  return app.exec();
}
