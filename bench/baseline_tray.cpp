// The floor Kelvaro is measured against: a minimal Qt 6 program that only shows a tray icon.
// Built a second time as floor_tray, it also does the two things no program with a splash
// version line and an SQLite store can avoid at start-up: it draws one line of text in a
// splash window for 1.3 s and opens an SQLite database and reads a row. That is how much of
// Kelvaro's memory its required parts cost before any of its own work.
#include <QApplication>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#ifdef KELVARO_FLOOR
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTimer>
#include <sqlite3.h>
#endif

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    QPixmap pm(22, 22);
    pm.fill(Qt::darkBlue);
    QSystemTrayIcon tray{QIcon(pm)};
    tray.setToolTip(QStringLiteral("baseline"));
    tray.show();
#ifdef KELVARO_FLOOR
    QLabel splash(QStringLiteral("1.1.0.42"), nullptr, Qt::SplashScreen);
    splash.setFixedSize(304, 80);
    splash.setAlignment(Qt::AlignRight | Qt::AlignBottom);
    splash.show();
    QTimer::singleShot(1300, &splash, &QWidget::hide);
    const QByteArray path = QFile::encodeName(QDir::tempPath() + QStringLiteral("/floor_tray.") +
                                              QString::number(QCoreApplication::applicationPid()));
    sqlite3* db = nullptr;
    if (sqlite3_open(path.constData(), &db) == SQLITE_OK)
        sqlite3_exec(db,
                     "CREATE TABLE IF NOT EXISTS t(k TEXT PRIMARY KEY, v);"
                     "INSERT OR REPLACE INTO t VALUES('a', 1); SELECT v FROM t WHERE k = 'a';",
                     nullptr, nullptr, nullptr);
    QFile::remove(QString::fromLocal8Bit(path));
#endif
    return app.exec();
}
