#include "StoreFolderShell.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUrl>

namespace bookmarks {

QString withBookmark(const QString &bookmarksText, const QString &uri, const QString &label)
{
    const QStringList lines = bookmarksText.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.section(QLatin1Char(' '), 0, 0).trimmed() == uri)
            return bookmarksText;
    }
    QString text = bookmarksText;
    if (!text.isEmpty() && !text.endsWith(QLatin1Char('\n')))
        text += QLatin1Char('\n');
    text += label.isEmpty() ? uri : uri + QLatin1Char(' ') + label;
    return text + QLatin1Char('\n');
}

} // namespace bookmarks

namespace utils {

QString getStoreFolderResourceIconPath(const QString &variant)
{
    qDebug() << "utils::getStoreFolderResourceIconPath: variant:" << variant << "-> no folder icons on Linux";
    return QString();
}

void setStoreFolderIcon(const QString &storeFolderPath, const QString &resourceIconPath, bool forceRefresh)
{
    qDebug() << "utils::setStoreFolderIcon: storeFolderPath:" << storeFolderPath << "resourceIconPath:" << resourceIconPath
             << "forceRefresh:" << forceRefresh << "-> not writing desktop.ini or an icon on Linux";
}

void unsetStoreFolderIcon(const QString &storeFolderPath)
{
    qDebug() << "utils::unsetStoreFolderIcon: storeFolderPath:" << storeFolderPath << "-> nothing to remove on Linux";
}

void updateStoreFolderIcon(const QString &folderPath)
{
    qDebug() << "utils::updateStoreFolderIcon: folderPath:" << folderPath << "-> no folder icons on Linux";
}

void updateStoreFolderWarnIcon(const QString &folderPath)
{
    qDebug() << "utils::updateStoreFolderWarnIcon: folderPath:" << folderPath << "-> no folder icons on Linux";
}

QString bookmarksFilePath()
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || !QDir::isAbsolutePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/gtk-3.0/bookmarks");
}

void createStoreFolderLink(const QString &storeFolderPath, const QString &shortcutName)
{
    if (!QFileInfo(storeFolderPath).isDir()) {
        qWarning() << "utils::createStoreFolderLink: cannot find store folder:" << storeFolderPath;
        return;
    }
    QString file = bookmarksFilePath();
    const QFileInfo info(file);
    // Many people keep such files as links into a dotfiles folder; the link must stay a link.
    if (info.isSymLink()) {
        file = info.canonicalFilePath();
        if (file.isEmpty()) {
            qWarning() << "utils::createStoreFolderLink: bookmarks file is a dangling link, leaving it alone:"
                       << bookmarksFilePath();
            return;
        }
    }
    QString text;
    if (QFileInfo::exists(file)) {
        QFile in(file);
        if (!in.open(QIODevice::ReadOnly)) {
            qWarning() << "utils::createStoreFolderLink: cannot read bookmarks file, leaving it alone:" << file
                       << "error:" << in.errorString();
            return;
        }
        text = QString::fromUtf8(in.readAll());
    }
    const QString uri = QString::fromLatin1(QUrl::fromLocalFile(QDir::cleanPath(storeFolderPath)).toEncoded());
    const QString updated = bookmarks::withBookmark(text, uri, shortcutName);
    if (updated == text) {
        qDebug() << "utils::createStoreFolderLink: already bookmarked:" << storeFolderPath;
        return;
    }
    QDir().mkpath(QFileInfo(file).absolutePath());
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(updated.toUtf8()) < 0 || !out.commit()) {
        qWarning() << "utils::createStoreFolderLink: cannot write bookmarks file, leaving it alone:" << file
                   << "error:" << out.errorString();
        return;
    }
    qDebug() << "utils::createStoreFolderLink: store folder bookmarked:" << storeFolderPath << "in" << file;
}

bool invokeShellExecuteEx(const QString &path, const QString &verb)
{
    qDebug() << "utils::invokeShellExecuteEx: path:" << path << "verb:" << verb << "-> no shell verbs on Linux";
    return false;
}

} // namespace utils
