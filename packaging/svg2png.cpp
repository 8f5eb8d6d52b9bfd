// ostinato_svg2png: renders an SVG file to a PNG of a given size with Qt's own
// SVG renderer, the same one the desktop program draws its artwork with.
//
//   ostinato_svg2png [--strict] IN.svg OUT.png WIDTH [HEIGHT]
//
// The build uses it to make the fixed-size PNG icons of the desktop theme;
// the packaging test uses --strict to check that every piece of artwork is
// understood by the renderer: any warning the renderer gives (an unsupported
// element, an unresolved reference) then fails the run, and so does a picture
// that comes out fully transparent.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool g_rendering = false;
bool g_warned = false;

// Before the picture is read, Qt may chat about the environment (no runtime
// folder, say); that is not about the artwork and is kept quiet. From then on
// every message is shown, and any above debug level counts as a warning.
void noteMessage(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (!g_rendering && type < QtCriticalMsg)
        return;
    if (type != QtDebugMsg)
        g_warned = true;
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

int usage()
{
    std::fprintf(stderr, "usage: ostinato_svg2png [--strict] IN.svg OUT.png WIDTH [HEIGHT]\n");
    return 2;
}

bool readSize(const char *text, int &value)
{
    char *end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || n < 1 || n > 4096)
        return false;
    value = static_cast<int>(n);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int first = 1;
    bool strict = false;
    if (argc > 1 && std::string(argv[1]) == "--strict") {
        strict = true;
        ++first;
    }
    const int left = argc - first;
    if (left != 3 && left != 4)
        return usage();
    int width = 0;
    int height = 0;
    if (!readSize(argv[first + 2], width))
        return usage();
    height = width;
    if (left == 4 && !readSize(argv[first + 3], height))
        return usage();

    // Text in the artwork needs the font database, which needs a GUI
    // application; no window is ever shown, so no display is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(noteMessage);
    int qtArgc = 1;
    QGuiApplication app(qtArgc, argv);
    g_rendering = true;

    const QString in = QString::fromLocal8Bit(argv[first]);
    const QString out = QString::fromLocal8Bit(argv[first + 1]);
    QSvgRenderer renderer(in);
    if (!renderer.isValid()) {
        std::fprintf(stderr, "ostinato_svg2png: %s is not an SVG picture Qt can draw\n", argv[first]);
        return 1;
    }

    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        renderer.render(&painter, QRectF(0, 0, width, height));
    }

    if (strict) {
        bool drawn = false;
        for (int y = 0; y < height && !drawn; ++y) {
            const QRgb *row = reinterpret_cast<const QRgb *>(image.constScanLine(y));
            for (int x = 0; x < width; ++x)
                if (qAlpha(row[x]) != 0) {
                    drawn = true;
                    break;
                }
        }
        if (!drawn) {
            std::fprintf(stderr, "ostinato_svg2png: %s draws nothing\n", argv[first]);
            return 1;
        }
        if (g_warned) {
            std::fprintf(stderr, "ostinato_svg2png: the renderer warned about %s\n", argv[first]);
            return 1;
        }
    }

    if (!image.save(out, "PNG")) {
        std::fprintf(stderr, "ostinato_svg2png: cannot write %s\n", argv[first + 1]);
        return 1;
    }
    return 0;
}
