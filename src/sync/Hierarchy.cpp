#include "Hierarchy.h"

#include <QJsonArray>
#include <QVariant>
#include <QtDebug>

#include <cmath>
#include <cstring>
#include <limits>
#include <new>

namespace brindlex {

namespace {

int digits(const unsigned char *text, int count)
{
    int value = 0;
    for (int i = 0; i < count; ++i)
        value = value * 10 + (text[i] - '0');
    return value;
}

// "YYYY-MM-DDTHH:MM:SSZ" or "YYYY-MM-DDTHH:MM:SS.mmmZ", what the server sends; false for anything
// else, which QDateTime then reads.
bool readPlainUtcTime(const char *utf8, qsizetype length, qint64 *msecs)
{
    if (length != 20 && length != 24)
        return false;
    const auto *text = reinterpret_cast<const unsigned char *>(utf8);
    // No branch per character: telling digits from the rest is most of the work.
    unsigned bad = (text[4] ^ '-') | (text[7] ^ '-') | (text[10] ^ 'T') | (text[13] ^ ':') | (text[16] ^ ':')
        | (text[length - 1] ^ 'Z');
    static const int digitAt[] = {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18, 20, 21, 22};
    const int digitCount = length == 24 ? 17 : 14;
    for (int i = 0; i < digitCount; ++i)
        bad |= unsigned(text[digitAt[i]] - '0') > 9;
    if (length == 24)
        bad |= text[19] ^ '.';
    if (bad)
        return false;
    const int year = digits(text, 4), month = digits(text + 5, 2), day = digits(text + 8, 2);
    const int hour = digits(text + 11, 2), minute = digits(text + 14, 2), second = digits(text + 17, 2);
    const int milli = length == 24 ? digits(text + 20, 3) : 0;
    static const int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    if (year == 0 || month < 1 || month > 12 || day < 1 || day > monthDays[month - 1] + (month == 2 && leap)
        || hour > 23 || minute > 59 || second > 59)
        return false;
    // Days since 1970-01-01 in the proleptic Gregorian calendar, counted from March so that
    // the leap day comes last in its year.
    const int y = month <= 2 ? year - 1 : year;
    const int era = y / 400;
    const int yearOfEra = y - era * 400;
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const qint64 days = qint64(era) * 146097 + dayOfEra - 719468;
    *msecs = ((days * 24 + hour) * 60 + minute) * 60000 + second * 1000 + milli;
    return true;
}

// -1 for anything but a lowercase hex digit; a table, as digits and letters come in no order.
struct HexTable
{
    signed char value[256];
    constexpr HexTable() : value()
    {
        for (int c = 0; c < 256; ++c)
            value[c] = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    }
};
constexpr HexTable hexTable;

int hexValue(char c)
{
    return hexTable.value[(unsigned char)c];
}

// Short ASCII text, as times, states and hashes are, goes through a buffer on the stack: the
// whole-document reader converts millions of them.
template<typename Result>
Result fromQString(const QString &text)
{
    char ascii[48];
    if (text.size() <= int(sizeof(ascii))) {
        const QChar *chars = text.constData();
        ushort bits = 0;
        for (int i = 0; i < text.size(); ++i) {
            bits |= chars[i].unicode();
            ascii[i] = char(chars[i].unicode());
        }
        if (bits < 0x80)
            return Result::fromUtf8(ascii, text.size());
    }
    const QByteArray utf8 = text.toUtf8();
    return Result::fromUtf8(utf8.constData(), utf8.size());
}

} // namespace

ServerTime::ServerTime(const QString &isoText)
    : ServerTime(fromQString<ServerTime>(isoText))
{
}

ServerTime::ServerTime(const char *isoText)
    : ServerTime(fromUtf8(isoText, isoText ? qsizetype(std::strlen(isoText)) : 0))
{
}

ServerTime ServerTime::fromUtf8(const char *text, qsizetype length)
{
    ServerTime time;
    if (length <= 0 || readPlainUtcTime(text, length, &time.m_msecs))
        return time;
    const QDateTime parsed = QDateTime::fromString(QString::fromUtf8(text, int(length)), Qt::ISODateWithMs);
    if (parsed.isValid())
        time.m_msecs = parsed.toMSecsSinceEpoch();
    return time;
}

QDateTime ServerTime::toDateTime() const
{
    return isValid() ? QDateTime::fromMSecsSinceEpoch(m_msecs, Qt::UTC) : QDateTime();
}

PackedText::PackedText(const QString &text)
    : PackedText(fromQString<PackedText>(text))
{
}

PackedText::PackedText(const char *utf8)
{
    *this = fromUtf8(utf8, utf8 ? qsizetype(std::strlen(utf8)) : 0);
}

PackedText PackedText::fromUtf8(const char *text, qsizetype length)
{
    PackedText packed;
    if (length <= 0)
        return packed;
    if (length <= capacity) {
        unsigned char bits = 0;
        for (qsizetype i = 0; i < length; ++i)
            bits |= (unsigned char)text[i];
        if (bits < 0x80) {
            std::memcpy(packed.m_bytes, text, size_t(length));
            packed.m_length = quint8(length);
            return packed;
        }
    } else if (length % 2 == 0 && length <= 2 * capacity) {
        int bad = 0;
        for (qsizetype i = 0; i < length; i += 2) {
            const int high = hexValue(text[i]), low = hexValue(text[i + 1]);
            bad |= high | low;
            packed.m_bytes[i / 2] = char(high << 4 | low);
        }
        if (bad >= 0) {
            packed.m_length = quint8(length);
            packed.m_kind = Hex;
            return packed;
        }
    }
    new (packed.heap()) QString(QString::fromUtf8(text, int(length)));
    packed.m_kind = Heap;
    return packed;
}

PackedText::PackedText(const PackedText &other)
    : m_length(other.m_length)
    , m_kind(other.m_kind)
{
    if (m_kind == Heap)
        new (heap()) QString(*other.heap());
    else
        std::memcpy(m_bytes, other.m_bytes, sizeof(m_bytes));
}

PackedText &PackedText::operator=(const PackedText &other)
{
    if (this != &other) {
        this->~PackedText();
        new (this) PackedText(other);
    }
    return *this;
}

PackedText::~PackedText()
{
    if (m_kind == Heap)
        heap()->~QString();
}

QString PackedText::toString() const
{
    switch (m_kind) {
    case Ascii:
        return QString::fromLatin1(m_bytes, m_length);
    case Hex: {
        static const char digit[] = "0123456789abcdef";
        QString text(m_length, Qt::Uninitialized);
        QChar *out = text.data();
        for (int i = 0; i < m_length / 2; ++i) {
            const auto byte = (unsigned char)m_bytes[i];
            *out++ = QLatin1Char(digit[byte >> 4]);
            *out++ = QLatin1Char(digit[byte & 15]);
        }
        return text;
    }
    case Heap:
        return *heap();
    }
    return QString();
}

bool operator==(const PackedText &a, const PackedText &b)
{
    if (a.m_kind != b.m_kind || a.m_length != b.m_length)
        return false;
    if (a.m_kind == PackedText::Heap)
        return *a.heap() == *b.heap();
    const int used = a.m_kind == PackedText::Hex ? a.m_length / 2 : a.m_length;
    return std::memcmp(a.m_bytes, b.m_bytes, size_t(used)) == 0;
}

bool operator==(const PackedText &a, const QString &b)
{
    switch (a.m_kind) {
    case PackedText::Ascii:
        return b == QLatin1String(a.m_bytes, a.m_length);
    case PackedText::Hex:
        return b.size() == a.m_length && b == a.toString();
    case PackedText::Heap:
        return b == *a.heap();
    }
    return false;
}

QDebug operator<<(QDebug debug, const PackedText &text)
{
    return debug << text.toString();
}

QDebug operator<<(QDebug debug, const ServerTime &time)
{
    return debug << time.toDateTime();
}

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
