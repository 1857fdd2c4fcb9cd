#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QMetaType>
#include <QString>
#include <QVector>
#include <QtGlobal>

#include <limits>

class QDebug;

// A file library's content as the server describes it ("FileSync.getHierarchy").
// A library can hold millions of files, so a file record keeps its times as numbers and its
// state and content hash inside itself; only names are strings of their own.
// Lists are implicitly shared, so copying a whole hierarchy is cheap.
namespace brindlex {

// A time the server sent as ISO 8601 text, as milliseconds since the epoch; text that is no
// such time (or none) reads as an invalid time, as QDateTime would read it.
class ServerTime
{
public:
    ServerTime() = default;
    ServerTime(const QString &isoText); // implicit: records are filled from the server's text
    ServerTime(const char *isoText);
    static ServerTime fromUtf8(const char *text, qsizetype length);

    bool isValid() const { return m_msecs != none; }
    qint64 msecsSinceEpoch() const { return m_msecs; }
    // In UTC; invalid when the text was no time.
    QDateTime toDateTime() const;

    bool operator==(const ServerTime &other) const { return m_msecs == other.m_msecs; }
    bool operator!=(const ServerTime &other) const { return m_msecs != other.m_msecs; }

private:
    static constexpr qint64 none = std::numeric_limits<qint64>::min();
    qint64 m_msecs = none;
};

// Short server text (a state, a content hash) held in the record without a heap block: ASCII of up
// to 22 characters as it is, lowercase hex of up to 44 digits two to a byte. Other text is kept
// as a QString. Reads back exactly as it was given.
class PackedText
{
public:
    PackedText() noexcept { m_bytes[0] = 0; }
    PackedText(const QString &text); // implicit: records are filled from the server's text
    PackedText(const char *utf8);
    static PackedText fromUtf8(const char *text, qsizetype length);
    PackedText(const PackedText &other);
    PackedText &operator=(const PackedText &other);
    ~PackedText();

    bool isEmpty() const { return m_kind != Heap && m_length == 0; }
    QString toString() const;
    operator QString() const { return toString(); }

    friend bool operator==(const PackedText &a, const PackedText &b);
    friend bool operator==(const PackedText &a, const QString &b);
    friend bool operator==(const QString &a, const PackedText &b) { return b == a; }
    friend bool operator!=(const PackedText &a, const PackedText &b) { return !(a == b); }
    friend bool operator!=(const PackedText &a, const QString &b) { return !(a == b); }
    friend bool operator!=(const QString &a, const PackedText &b) { return !(b == a); }

private:
    enum Kind : quint8 { Ascii, Hex, Heap };
    static constexpr int capacity = 22;
    QString *heap() { return reinterpret_cast<QString *>(m_bytes); }
    const QString *heap() const { return reinterpret_cast<const QString *>(m_bytes); }

    alignas(QString) char m_bytes[capacity];
    quint8 m_length = 0; // characters; hex digits for Hex
    Kind m_kind = Ascii;
};

QDebug operator<<(QDebug debug, const PackedText &text);
QDebug operator<<(QDebug debug, const ServerTime &time);

struct File
{
    quint64 id = 0;
    PackedText state;
    QString name;
    ServerTime createdTime;
    ServerTime modifiedTime;
    quint64 fileSize = 0;
    PackedText contentHash;
};

struct Folder
{
    quint64 id = 0;
    QString name;
    QVector<File> files;
    QVector<Folder> folders;
    ServerTime modifiedTime;
};

// One ancestor of the library, from the tenant down.
struct ChainItem
{
    quint64 id = 0;
    quint64 pid = 0;
    QString type;
    QString subType;
    QString name;
    QString dashifiedName;
    quint64 pinIndex = 0;
};

struct Hierarchy
{
    QString state;
    QVector<ChainItem> chain;
    QVector<Folder> folders; // top-level folders of the library
    QVector<File> files;     // top-level files of the library
    QString tenantId;
    QString tenantName;
    quint64 id = 0;
};

bool operator==(const File &a, const File &b);
bool operator==(const Folder &a, const Folder &b);
bool operator==(const ChainItem &a, const ChainItem &b);
bool operator==(const Hierarchy &a, const Hierarchy &b);
inline bool operator!=(const File &a, const File &b) { return !(a == b); }
inline bool operator!=(const Folder &a, const Folder &b) { return !(a == b); }
inline bool operator!=(const ChainItem &a, const ChainItem &b) { return !(a == b); }
inline bool operator!=(const Hierarchy &a, const Hierarchy &b) { return !(a == b); }

// An id sent as text: a signed 64-bit decimal number (optional sign, digits only), else 0.
// Negative values wrap into the unsigned record field, the same in both readers.
quint64 idFromString(const char *text, qsizetype length);
quint64 idFromString(const QString &text);

// The server's integers that may come as number or as text: a number is truncated,
// a string is read as a signed 64-bit decimal number (0 when it is none), anything else is 0.
qint64 integerFromJson(const QJsonValue &value);

// Reads the "hierarchy" object of an already parsed getHierarchy result.
// Ids and sizes accept numbers as well as decimal text; a size below 0 counts as 0.
// Members of the wrong type are skipped with a warning and counted in skippedMembers: a caller that
// would take missing items for deleted ones must not use a hierarchy with skipped members.
Hierarchy hierarchyFromJson(const QJsonObject &hierarchyObject, int *skippedMembers = nullptr);

} // namespace brindlex

Q_DECLARE_TYPEINFO(brindlex::ServerTime, Q_PRIMITIVE_TYPE);
Q_DECLARE_TYPEINFO(brindlex::PackedText, Q_MOVABLE_TYPE);
Q_DECLARE_TYPEINFO(brindlex::File, Q_MOVABLE_TYPE);
Q_DECLARE_TYPEINFO(brindlex::Folder, Q_MOVABLE_TYPE);
Q_DECLARE_TYPEINFO(brindlex::ChainItem, Q_MOVABLE_TYPE);
Q_DECLARE_METATYPE(brindlex::Hierarchy)
