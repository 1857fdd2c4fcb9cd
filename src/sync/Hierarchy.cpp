#include "Hierarchy.h"

#include <QJsonArray>
#include <QVariant>
#include <QtDebug>

#include <cmath>
#include <limits>

namespace brindlex {

bool operator==(const File &a, const File &b)
{
    return a.id == b.id && a.state == b.state && a.name == b.name && a.createdTime == b.createdTime
        && a.modifiedTime == b.modifiedTime && a.fileSize == b.fileSize && a.contentHash == b.contentHash;
}

bool operator==(const Folder &a, const Folder &b)
{
    return a.id == b.id && a.name == b.name && a.modifiedTime == b.modifiedTime && a.files == b.files
        && a.folders == b.folders;
}

bool operator==(const ChainItem &a, const ChainItem &b)
{
    return a.id == b.id && a.pid == b.pid && a.type == b.type && a.subType == b.subType && a.name == b.name
        && a.dashifiedName == b.dashifiedName && a.pinIndex == b.pinIndex;
}

bool operator==(const Hierarchy &a, const Hierarchy &b)
{
    return a.state == b.state && a.id == b.id && a.tenantId == b.tenantId && a.tenantName == b.tenantName
        && a.chain == b.chain && a.files == b.files && a.folders == b.folders;
}

quint64 idFromString(const char *text, qsizetype length)
{
    if (!text || length <= 0)
        return 0;
    qsizetype pos = 0;
    const bool negative = text[0] == '-';
    if (text[0] == '-' || text[0] == '+')
        ++pos;
    if (pos == length)
        return 0;
    // Accumulate towards the sign so that the most negative value still fits.
    constexpr quint64 maxPositive = quint64(std::numeric_limits<qint64>::max());
    const quint64 limit = negative ? maxPositive + 1 : maxPositive;
    quint64 magnitude = 0;
    for (; pos < length; ++pos) {
        const char c = text[pos];
        if (c < '0' || c > '9')
            return 0;
        const unsigned digit = unsigned(c - '0');
        if (magnitude > (limit - digit) / 10)
            return 0;
        magnitude = magnitude * 10 + digit;
    }
    return negative ? quint64(0) - magnitude : magnitude;
}

quint64 idFromString(const QString &text)
{
    const QByteArray latin = text.toLatin1();
    return idFromString(latin.constData(), latin.size());
}

qint64 integerFromJson(const QJsonValue &value)
{
    if (value.isString())
        return qint64(idFromString(value.toString()));
    if (!value.isDouble())
        return 0;
    const QVariant variant = value.toVariant();
    if (variant.type() == QVariant::LongLong)
        return variant.toLongLong();
    const double number = std::trunc(value.toDouble());
    // 2^63 is exact as a double; anything outside the signed range is no usable integer.
    if (!std::isfinite(number) || number < -9223372036854775808.0 || number >= 9223372036854775808.0)
        return 0;
    return qint64(number);
}

namespace {

quint64 idFromJson(const QJsonValue &value)
{
    return quint64(integerFromJson(value));
}

quint64 sizeFromJson(const QJsonValue &value)
{
    const qint64 size = integerFromJson(value);
    return size > 0 ? quint64(size) : 0;
}

File fileFromJson(const QJsonObject &object, int *)
{
    File file;
    file.id = idFromJson(object.value(QLatin1String("id")));
    file.state = object.value(QLatin1String("state")).toString();
    file.name = object.value(QLatin1String("name")).toString();
    file.createdTime = object.value(QLatin1String("createdTime")).toString();
    file.modifiedTime = object.value(QLatin1String("modifiedTime")).toString();
    file.fileSize = sizeFromJson(object.value(QLatin1String("fileSize")));
    file.contentHash = object.value(QLatin1String("contentHash")).toString();
    return file;
}

// Only entries that are objects become records; anything else is reported and skipped.
template<typename Record, typename Convert>
QVector<Record> listFromJson(const QJsonObject &parent, const char *key, Convert convert, int *skipped)
{
    QVector<Record> records;
    const QJsonValue member = parent.value(QLatin1String(key));
    if (member.isUndefined() || member.isNull())
        return records;
    if (!member.isArray()) {
        qWarning() << "brindlex::hierarchyFromJson: member is no array, skipped:" << key;
        ++*skipped;
        return records;
    }
    const QJsonArray array = member.toArray();
    records.reserve(array.size());
    for (int i = 0; i < array.size(); ++i) {
        const QJsonValue entry = array.at(i);
        if (!entry.isObject()) {
            qWarning() << "brindlex::hierarchyFromJson: entry is no object, skipped:" << key << "index:" << i;
            ++*skipped;
            continue;
        }
        records.append(convert(entry.toObject(), skipped));
    }
    return records;
}

Folder folderFromJson(const QJsonObject &object, int *skipped)
{
    Folder folder;
    folder.id = idFromJson(object.value(QLatin1String("id")));
    folder.name = object.value(QLatin1String("name")).toString();
    folder.modifiedTime = object.value(QLatin1String("modifiedTime")).toString();
    folder.files = listFromJson<File>(object, "files", fileFromJson, skipped);
    folder.folders = listFromJson<Folder>(object, "folders", folderFromJson, skipped);
    return folder;
}

ChainItem chainItemFromJson(const QJsonObject &object, int *)
{
    ChainItem item;
    item.id = idFromJson(object.value(QLatin1String("id")));
    item.pid = idFromJson(object.value(QLatin1String("pid")));
    item.type = object.value(QLatin1String("type")).toString();
    item.subType = object.value(QLatin1String("subType")).toString();
    item.name = object.value(QLatin1String("name")).toString();
    item.dashifiedName = object.value(QLatin1String("dashifiedName")).toString();
    item.pinIndex = sizeFromJson(object.value(QLatin1String("pinIndex")));
    return item;
}

} // namespace

Hierarchy hierarchyFromJson(const QJsonObject &hierarchyObject, int *skippedMembers)
{
    int skipped = 0;
    Hierarchy hierarchy;
    hierarchy.id = idFromJson(hierarchyObject.value(QLatin1String("id")));
    hierarchy.state = hierarchyObject.value(QLatin1String("state")).toString();
    hierarchy.tenantId = hierarchyObject.value(QLatin1String("tenantId")).toString();
    hierarchy.tenantName = hierarchyObject.value(QLatin1String("tenantName")).toString();
    hierarchy.chain = listFromJson<ChainItem>(hierarchyObject, "chain", chainItemFromJson, &skipped);
    hierarchy.folders = listFromJson<Folder>(hierarchyObject, "folders", folderFromJson, &skipped);
    hierarchy.files = listFromJson<File>(hierarchyObject, "files", fileFromJson, &skipped);
    if (skippedMembers)
        *skippedMembers = skipped;
    return hierarchy;
}

} // namespace brindlex
