// The first icon of a file, as the shell's icon extraction gives it: .ico files, the icon
// resources of Windows programs and libraries, image files, and the desktop entry of a native
// program. Every length and offset read from a file is checked.
#pragma once

#include <QByteArray>
#include <QIcon>
#include <QImage>
#include <QString>
#include <vector>

namespace platform {

// The name that stands for the generic program icon.
inline const QString GenericIconFile = QStringLiteral("shell32.dll");

// The icon theme's generic program icon; null when the theme has none.
QIcon ThemeProgramIcon();

// The icons the desktop entries name for the programs they start. The entries are read once,
// at the first look-up, for as long as the object lives: one list rebuild, say.
class DesktopEntries {
public:
    DesktopEntries();
    ~DesktopEntries();
    DesktopEntries(const DesktopEntries&) = delete;
    DesktopEntries& operator=(const DesktopEntries&) = delete;
    // The icon of the first entry that starts program and names an icon that exists.
    QIcon iconFor(const QString& program) const;

private:
    struct Entry;
    void read() const;
    mutable bool read_ = false;
    mutable std::vector<Entry> entries_;
};

// Null when the file yields no icon; GenericIconFile gives the theme's generic program icon.
// A native program's icon comes from entries when given (else they are read for this call).
QIcon ExtractIcon(const QString& path, const DesktopEntries* entries = nullptr);

// The images of an .ico file held in memory (empty when it is not one).
std::vector<QImage> ReadIcoImages(const QByteArray& data);
// The first icon group of a PE32/PE32+ file, rebuilt as an .ico file (empty when none).
QByteArray ExtractPeIconGroup(const QByteArray& data);
// An image or drawing file as an icon, within the reader's memory budget (null when none).
QIcon PictureIcon(const QString& path);
// The icon the desktop entries name for a native program (null when none).
QIcon DesktopEntryIcon(const QString& program);

} // namespace platform
