#pragma once

#include <QString>

// How the store folder shows in the desktop. On Linux nothing is written into a synchronised
// folder (an icon file or desktop.ini would itself be synchronised), and a folder is never made
// read-only: the icon functions only log. The shortcut is a file-manager bookmark.
namespace utils {

QString getStoreFolderResourceIconPath(const QString &variant = QString());
void setStoreFolderIcon(const QString &storeFolderPath, const QString &resourceIconPath, bool forceRefresh);
void unsetStoreFolderIcon(const QString &storeFolderPath);
void updateStoreFolderIcon(const QString &folderPath);
void updateStoreFolderWarnIcon(const QString &folderPath);
// Adds the folder to the user's GTK bookmarks once; a bookmarks file that cannot be read or
// written is left as it is.
void createStoreFolderLink(const QString &storeFolderPath, const QString &shortcutName);
bool invokeShellExecuteEx(const QString &path, const QString &verb);

// $XDG_CONFIG_HOME/gtk-3.0/bookmarks, or ~/.config/gtk-3.0/bookmarks.
QString bookmarksFilePath();

} // namespace utils

namespace bookmarks {

// The bookmarks text with a line for uri (and its label) added; the text as it was when a line
// already names the uri.
QString withBookmark(const QString &bookmarksText, const QString &uri, const QString &label);

} // namespace bookmarks
