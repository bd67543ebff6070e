// Build tool: renders the SVG artwork to PNG, so the program decodes small PNGs at run time
// and a desktop's icon theme gets the sizes it needs.
//   kelvaro-render-icon SOURCE.svg OUTDIR SIZE...   writes OUTDIR/SIZExSIZE/apps/kelvaro.png
//   kelvaro-render-icon --image SOURCE.svg OUT.png WIDTH HEIGHT
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == QLatin1String("--image") && args.size() == 6) {
        QSvgRenderer svg(args[2]);
        QImage image(args[4].toInt(), args[5].toInt(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        svg.render(&p);
        p.end();
        return svg.isValid() && image.save(args[3]) ? 0 : 1;
    }
    if (args.size() < 4) {
        std::fprintf(stderr, "usage: kelvaro-render-icon SOURCE.svg OUTDIR SIZE...\n");
        return 2;
    }
    QSvgRenderer svg(args[1]);
    if (!svg.isValid()) {
        std::fprintf(stderr, "kelvaro-render-icon: can't read %s\n", qPrintable(args[1]));
        return 1;
    }
    for (qsizetype i = 3; i < args.size(); ++i) {
        const int side = args[i].toInt();
        QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        svg.render(&p);
        p.end();
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(args[2]).arg(side);
        QDir().mkpath(dir);
        if (!image.save(dir + QStringLiteral("/kelvaro.png"))) return 1;
    }
    return 0;
}
