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

// Null when the file yields no icon; GenericIconFile gives the theme's generic program icon.
QIcon ExtractIcon(const QString& path);

// The images of an .ico file held in memory (empty when it is not one).
std::vector<QImage> ReadIcoImages(const QByteArray& data);
// The first icon group of a PE32/PE32+ file, rebuilt as an .ico file (empty when none).
QByteArray ExtractPeIconGroup(const QByteArray& data);
// An image or drawing file as an icon, within the reader's memory budget (null when none).
QIcon PictureIcon(const QString& path);
// The icon the desktop entries name for a native program (null when none).
QIcon DesktopEntryIcon(const QString& program);

} // namespace platform
