#include "utils.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace utils {

namespace {

// What the team's Windows machines cannot store (their client avoids "^" as well), plus NUL,
// which ends a path everywhere.
bool isInvalidNameChar(QChar c)
{
    switch (c.unicode()) {
    case '^': case '/': case '?': case '<': case '>': case '\\': case ':': case '*': case '|':
    case '"': case '\n': case '\t': case 0:
        return true;
    default:
        return false;
    }
}

bool isTrailingJunk(QChar c)
{
    switch (c.unicode()) {
    case '.': case ' ': case '\t': case '\n': case '\v': case '\f': case '\r':
        return true;
    default:
        return false;
    }
}

QString baseOf(const QString &name)
{
    const int dot = name.indexOf(QLatin1Char('.'));
    return dot < 0 ? name : name.left(dot);
}

// A cut between the halves of a surrogate pair would leave a character no file system stores.
QString leftWhole(const QString &text, int length)
{
    if (length > 0 && length < text.size() && text.at(length - 1).isHighSurrogate())
        --length;
    return text.left(length);
}

// Keeps the base and a dot, cut so that base + "." + suffix has maxLocalNameLength characters.
QString cutBase(const QString &base, const QString &suffix)
{
    return leftWhole(base, maxLocalNameLength - 1 - suffix.size()) + QLatin1Char('.') + suffix;
}

QString limitLength(const QString &name)
{
    if (name.size() <= maxLocalNameLength)
        return name;
    const int firstDot = name.indexOf(QLatin1Char('.'));
    const QString base = firstDot < 0 ? name : name.left(firstDot);
    const QString completeSuffix = firstDot < 0 ? QString() : name.mid(firstDot + 1);
    if (completeSuffix.size() < maxLocalNameLength)
        return cutBase(base, completeSuffix);
    const QString lastSuffix = name.mid(name.lastIndexOf(QLatin1Char('.')) + 1);
    if (lastSuffix.size() < maxLocalNameLength)
        return cutBase(base, lastSuffix);
    return leftWhole(lastSuffix, maxLocalNameLength);
}

// Linux file systems count a name in UTF-8 bytes (255 at most), so 250 characters of most
// scripts other than Latin do not fit. Cuts the end of the part before the last suffix,
// never inside a surrogate pair.
constexpr int maxNameBytes = 255;

int utf8Length(const QString &text)
{
    return text.toUtf8().size();
}

QString limitUtf8Length(const QString &name)
{
    if (utf8Length(name) <= maxNameBytes)
        return name;
    const int lastDot = name.lastIndexOf(QLatin1Char('.'));
    QString suffix = lastDot > 0 ? name.mid(lastDot) : QString();
    if (utf8Length(suffix) > maxNameBytes / 2)
        suffix.clear();
    const QString base = name.left(name.size() - suffix.size());
    const int budget = maxNameBytes - utf8Length(suffix);
    int bytes = 0;
    int kept = 0;
    while (kept < base.size()) {
        const int step = base.at(kept).isHighSurrogate() && kept + 1 < base.size() ? 2 : 1;
        const int stepBytes = utf8Length(base.mid(kept, step));
        if (bytes + stepBytes > budget)
            break;
        bytes += stepBytes;
        kept += step;
    }
    return base.left(kept) + suffix;
}

const QStringList &reservedNames()
{
    static const QStringList names = [] {
        QStringList list;
        for (int i = 1; i <= 9; ++i) {
            list << QStringLiteral("com%1").arg(i);
            list << QStringLiteral("lpt%1").arg(i);
        }
        list << QStringLiteral("con") << QStringLiteral("nul") << QStringLiteral("prn") << QStringLiteral("aux")
             << QStringLiteral("Sync Issues");
        return list;
    }();
    return names;
}

} // namespace

bool isReservedName(const QString &name)
{
    const QString base = baseOf(name);
    for (const QString &reserved : reservedNames()) {
        if (base.compare(reserved, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QString makeValidLocalName(const QString &name)
{
    QString result = limitUtf8Length(limitLength(name));

    for (QChar &c : result) {
        if (isInvalidNameChar(c))
            c = QLatin1Char('_');
    }

    int end = result.size();
    while (end > 0 && isTrailingJunk(result.at(end - 1)))
        --end;
    result.truncate(end);

    if (result.trimmed().isEmpty())
        return QStringLiteral("_");

    if (isReservedName(result)) {
        const int baseLength = baseOf(result).size();
        result.insert(baseLength, QLatin1Char('_'));
    }
    return result;
}

QDateTime getCreatedTimeUtc(const QString &path)
{
    QDateTime created;
    if (!getTime(path, &created, nullptr))
        return QDateTime();
    return created.isValid() ? created.toUTC() : QDateTime();
}

QDateTime getModifiedTimeUtc(const QString &path)
{
    QDateTime modified;
    if (!getTime(path, nullptr, &modified))
        return QDateTime();
    return modified.isValid() ? modified.toUTC() : QDateTime();
}

bool moveToTrash(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return QFile::remove(path) || !QFileInfo(path).isSymLink();
    if (!info.exists())
        return true;
    if (QFile::moveToTrash(path)) {
        qDebug() << "utils::moveToTrash: moved to trash:" << path;
        return true;
    }
    qWarning() << "utils::moveToTrash: unable to move to trash:" << path;
    return false;
}

bool removeDir(const QString &path, bool toTrash)
{
    if (path.isEmpty()) {
        qWarning() << "utils::removeDir: path is empty";
        return false;
    }
    const QFileInfo root(path);
    if (root.isSymLink())
        return QFile::remove(path);
    if (!root.exists())
        return true;
    if (!root.isDir()) {
        qWarning() << "utils::removeDir: not a folder:" << path;
        return false;
    }
    const QFileInfoList entries =
        QDir(path).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        const QString entryPath = entry.absoluteFilePath();
        bool removed = false;
        if (entry.isSymLink())
            removed = QFile::remove(entryPath);
        else if (entry.isDir())
            removed = removeDir(entryPath, toTrash);
        else
            removed = toTrash ? moveToTrash(entryPath) : QFile::remove(entryPath);
        if (!removed && QFileInfo::exists(entryPath)) {
            qWarning() << "utils::removeDir: unable to remove:" << entryPath;
            return false;
        }
    }
    if (!QDir().rmdir(path)) {
        qWarning() << "utils::removeDir: unable to remove folder:" << path;
        return !QFileInfo::exists(path);
    }
    return true;
}

} // namespace utils
