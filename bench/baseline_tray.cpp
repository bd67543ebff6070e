// The floor Kelvaro is measured against: a minimal Qt 6 program that only shows a tray icon.
#include <QApplication>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    QPixmap pm(22, 22);
    pm.fill(Qt::darkBlue);
    QSystemTrayIcon tray{QIcon(pm)};
    tray.setToolTip(QStringLiteral("baseline"));
    tray.show();
    return app.exec();
}
