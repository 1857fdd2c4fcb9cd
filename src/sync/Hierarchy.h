#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QMetaType>
#include <QString>
#include <QVector>
#include <QtGlobal>

// A file library's content as the server describes it ("FileSync.getHierarchy").
// Times and states keep the server's text; the projector interprets them.
// Lists are implicitly shared, so copying a whole hierarchy is cheap.
namespace brindlex {

struct File
{
    quint64 id = 0;
    QString state;
    QString name;
    QString createdTime;
    QString modifiedTime;
    quint64 fileSize = 0;
    QString contentHash;
};

struct Folder
{
    quint64 id = 0;
    QString name;
    QVector<File> files;
    QVector<Folder> folders;
    QString modifiedTime;
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

Q_DECLARE_TYPEINFO(brindlex::File, Q_MOVABLE_TYPE);
Q_DECLARE_TYPEINFO(brindlex::Folder, Q_MOVABLE_TYPE);
Q_DECLARE_TYPEINFO(brindlex::ChainItem, Q_MOVABLE_TYPE);
Q_DECLARE_METATYPE(brindlex::Hierarchy)
