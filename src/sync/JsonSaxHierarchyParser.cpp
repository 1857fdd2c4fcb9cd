#include "JsonSaxHierarchyParser.h"

#include <QFile>
#include <QFileInfo>
#include <QtDebug>

#include <cstring>
#include <exception>
#include <iterator>

namespace {

QString toQString(const std::string &value)
{
    return QString::fromUtf8(value.data(), int(value.size()));
}

quint64 idOf(const std::string &value)
{
    return brindlex::idFromString(value.data(), qsizetype(value.size()));
}

brindlex::ServerTime timeOf(const std::string &value)
{
    return brindlex::ServerTime::fromUtf8(value.data(), qsizetype(value.size()));
}

brindlex::PackedText packedOf(const std::string &value)
{
    return brindlex::PackedText::fromUtf8(value.data(), qsizetype(value.size()));
}

bool isJsonSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// A file read through a buffer, each run of white space outside strings handed on as one blank:
// nlohmann's lexer keeps every character since the last string or number for its error messages,
// so an answer padded with white space would otherwise cost its whole size in memory.
class SqueezedFile
{
public:
    explicit SqueezedFile(const QString &path)
        : m_file(path)
    {
        m_atEnd = !m_file.open(QIODevice::ReadOnly);
        if (!m_atEnd)
            advance();
    }

    bool isOpen() const { return m_file.isOpen(); }
    bool atEnd() const { return m_atEnd; }
    const char &current() const { return m_current; }

    void advance()
    {
        char c = 0;
        if (m_hasPending) {
            m_hasPending = false;
            c = m_pending;
        } else if (!nextByte(&c)) {
            m_atEnd = true;
            return;
        }
        if (!m_inString && isJsonSpace(c)) {
            while (nextByte(&m_pending)) {
                if (!isJsonSpace(m_pending)) {
                    m_hasPending = true;
                    break;
                }
            }
            m_current = ' ';
            return;
        }
        m_current = c;
        if (m_inString) {
            if (m_escaped)
                m_escaped = false;
            else if (c == '\\')
                m_escaped = true;
            else if (c == '"')
                m_inString = false;
        } else if (c == '"') {
            m_inString = true;
        }
    }

private:
    bool nextByte(char *c)
    {
        if (m_position == m_buffer.size()) {
            m_buffer = m_file.read(1 << 20);
            m_position = 0;
            if (m_buffer.isEmpty())
                return false;
        }
        *c = m_buffer.at(m_position++);
        return true;
    }

    QFile m_file;
    QByteArray m_buffer;
    int m_position = 0;
    char m_current = 0;
    char m_pending = 0;
    bool m_hasPending = false;
    bool m_atEnd = false;
    bool m_inString = false;
    bool m_escaped = false;
};

// The input iterator nlohmann reads a SqueezedFile through; the default one is the end.
class SqueezedIterator
{
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char *;
    using reference = const char &;

    SqueezedIterator() = default;
    explicit SqueezedIterator(SqueezedFile *file)
        : m_file(file)
    {
    }
    reference operator*() const { return m_file->current(); }
    SqueezedIterator &operator++()
    {
        m_file->advance();
        return *this;
    }
    SqueezedIterator operator++(int)
    {
        SqueezedIterator before = *this;
        m_file->advance();
        return before;
    }
    bool operator==(const SqueezedIterator &other) const { return atEnd() == other.atEnd(); }
    bool operator!=(const SqueezedIterator &other) const { return !(*this == other); }

private:
    bool atEnd() const { return !m_file || m_file->atEnd(); }
    SqueezedFile *m_file = nullptr;
};

} // namespace

const char *CJsonSaxHierarchyParser::stateName(int state)
{
    switch (state) {
    case OUTSIDE: return "OUTSIDE";
    case IN_OBJECT_ROOT: return "IN_OBJECT_ROOT";
    case IN_OBJECT_RESULT: return "IN_OBJECT_RESULT";
    case IN_OBJECT_HIERARCHY: return "IN_OBJECT_HIERARCHY";
    case IN_ARRAY_CHAIN: return "IN_ARRAY_CHAIN";
    case IN_OBJECT_CHAIN: return "IN_OBJECT_CHAIN";
    case IN_ARRAY_FOLDERS: return "IN_ARRAY_FOLDERS";
    case IN_OBJECT_FOLDER: return "IN_OBJECT_FOLDER";
    case IN_ARRAY_FILES: return "IN_ARRAY_FILES";
    case IN_OBJECT_FILE: return "IN_OBJECT_FILE";
    }
    return "UNKNOWN";
}

CJsonSaxHierarchyParser::Key CJsonSaxHierarchyParser::keyOf(const std::string &name)
{
    // Looked up once per member, so that the value events compare one small number.
    const auto is = [&name](const char *known, std::size_t length) {
        return std::memcmp(name.data(), known, length) == 0;
    };
    switch (name.size()) {
    case 2:
        return is("id", 2) ? Key::Id : Key::Other;
    case 3:
        return is("pid", 3) ? Key::Pid : Key::Other;
    case 4:
        return is("name", 4) ? Key::Name : is("type", 4) ? Key::Type : Key::Other;
    case 5:
        return is("state", 5) ? Key::State : is("files", 5) ? Key::Files : is("chain", 5) ? Key::Chain : Key::Other;
    case 6:
        return is("result", 6) ? Key::Result : Key::Other;
    case 7:
        return is("folders", 7) ? Key::Folders : is("subType", 7) ? Key::SubType : Key::Other;
    case 8:
        return is("tenantId", 8) ? Key::TenantId : is("fileSize", 8) ? Key::FileSize : Key::Other;
    case 9:
        return is("hierarchy", 9) ? Key::Hierarchy : Key::Other;
    case 10:
        return is("tenantName", 10) ? Key::TenantName : Key::Other;
    case 11:
        return is("createdTime", 11) ? Key::CreatedTime : is("contentHash", 11) ? Key::ContentHash : Key::Other;
    case 12:
        return is("modifiedTime", 12) ? Key::ModifiedTime : Key::Other;
    case 13:
        return is("dashifiedName", 13) ? Key::DashifiedName : Key::Other;
    }
    return Key::Other;
}

void CJsonSaxHierarchyParser::reset()
{
    m_state = OUTSIDE;
    m_key = Key::Other;
    m_hierarchy = brindlex::Hierarchy();
    m_folderStack.clear();
    m_files.clear();
    m_currentFile = nullptr;
    m_foldersCount = 0;
    m_filesCount = 0;
    m_sawHierarchy = false;
}

template<typename SaxParse>
bool CJsonSaxHierarchyParser::parseWith(SaxParse &&saxParse)
{
    reset();
    bool parsed = false;
    try {
        parsed = saxParse();
    } catch (const std::exception &e) {
        // sax_parse reports syntax errors through parse_error; this is only out of memory and the like.
        qCritical() << "CJsonSaxHierarchyParser::parse: parse error:" << e.what();
        return false;
    }
    if (!parsed)
        return false;
    if (m_state != OUTSIDE) {
        qCritical() << "CJsonSaxHierarchyParser::parse: parse error: hierarchy not closed";
        return false;
    }
    if (!m_sawHierarchy)
        qWarning() << "CJsonSaxHierarchyParser::parse: no \"hierarchy\" object in the document -> empty hierarchy";
    qDebug() << "CJsonSaxHierarchyParser::parse: done, folders:" << m_foldersCount << ", files: " << m_filesCount;
    return true;
}

bool CJsonSaxHierarchyParser::parse(const QByteArray &hierarchyData)
{
    qDebug() << "CJsonSaxHierarchyParser::parse: hierarchyData size:" << hierarchyData.size();
    const char *begin = hierarchyData.constData();
    return parseWith([&] {
        return nlohmann::json::sax_parse(begin, begin + hierarchyData.size(), this, nlohmann::json::input_format_t::json, true);
    });
}

bool CJsonSaxHierarchyParser::parseFile(const QString &path)
{
    SqueezedFile file(path);
    qDebug() << "CJsonSaxHierarchyParser::parse: hierarchyData size:" << QFileInfo(path).size() << "in" << path;
    if (!file.isOpen()) {
        qCritical() << "CJsonSaxHierarchyParser::parse: unable to read" << path;
        return false;
    }
    return parseWith([&] {
        return nlohmann::json::sax_parse(SqueezedIterator(&file), SqueezedIterator(), this,
                                         nlohmann::json::input_format_t::json, true);
    });
}

bool CJsonSaxHierarchyParser::null()
{
    return true;
}

bool CJsonSaxHierarchyParser::boolean(bool)
{
    return true;
}

bool CJsonSaxHierarchyParser::number_integer(number_integer_t)
{
    return true;
}

bool CJsonSaxHierarchyParser::number_float(number_float_t, const string_t &)
{
    return true;
}

bool CJsonSaxHierarchyParser::binary(binary_t &)
{
    return true; // never produced by JSON text
}

bool CJsonSaxHierarchyParser::number_unsigned(number_unsigned_t value)
{
    if (m_state != IN_OBJECT_FILE)
        return true;
    if (!m_currentFile) {
        qWarning() << "CJsonSaxHierarchyParser::string: parse error, file pointer empty";
        return false;
    }
    if (m_key == Key::FileSize)
        m_currentFile->fileSize = value;
    return true;
}

bool CJsonSaxHierarchyParser::key(string_t &value)
{
    m_key = keyOf(value);
    return true;
}

bool CJsonSaxHierarchyParser::string(string_t &value)
{
    switch (m_state) {
    case IN_OBJECT_HIERARCHY:
        switch (m_key) {
        case Key::Id: m_hierarchy.id = idOf(value); break;
        case Key::State: m_hierarchy.state = toQString(value); break;
        case Key::TenantId: m_hierarchy.tenantId = toQString(value); break;
        case Key::TenantName: m_hierarchy.tenantName = toQString(value); break;
        default: break;
        }
        return true;

    case IN_OBJECT_CHAIN: {
        if (m_hierarchy.chain.isEmpty()) {
            qWarning() << "CJsonSaxHierarchyParser::string: parse error, chainItem pointer missing in list";
            return false;
        }
        brindlex::ChainItem &item = m_hierarchy.chain.last();
        switch (m_key) {
        case Key::Id: item.id = idOf(value); break;
        case Key::Pid: item.pid = idOf(value); break;
        case Key::Type: item.type = toQString(value); break;
        case Key::SubType: item.subType = toQString(value); break;
        case Key::Name: item.name = toQString(value); break;
        case Key::DashifiedName: item.dashifiedName = toQString(value); break;
        default: break;
        }
        return true;
    }

    case IN_OBJECT_FOLDER: {
        if (m_folderStack.empty()) {
            qWarning() << "CJsonSaxHierarchyParser::string: parse error, folder pointer missing in stack";
            return false;
        }
        brindlex::Folder &folder = *m_folderStack.back();
        switch (m_key) {
        case Key::Id: folder.id = idOf(value); break;
        case Key::Name: folder.name = toQString(value); break;
        case Key::ModifiedTime: folder.modifiedTime = timeOf(value); break;
        default: break;
        }
        return true;
    }

    case IN_OBJECT_FILE: {
        if (!m_currentFile) {
            qWarning() << "CJsonSaxHierarchyParser::string: parse error, file pointer empty";
            return false;
        }
        brindlex::File &file = *m_currentFile;
        switch (m_key) {
        case Key::Id: file.id = idOf(value); break;
        case Key::State: file.state = packedOf(value); break;
        case Key::Name: file.name = toQString(value); break;
        case Key::CreatedTime: file.createdTime = timeOf(value); break;
        case Key::ModifiedTime: file.modifiedTime = timeOf(value); break;
        case Key::ContentHash: file.contentHash = packedOf(value); break;
        default: break;
        }
        return true;
    }

    default:
        return true;
    }
}

bool CJsonSaxHierarchyParser::start_object(std::size_t)
{
    switch (m_state) {
    case OUTSIDE:
        m_state = IN_OBJECT_ROOT;
        return true;

    case IN_OBJECT_ROOT:
        if (m_key == Key::Result) {
            m_state = IN_OBJECT_RESULT;
            return true;
        }
        break;

    case IN_OBJECT_RESULT:
        if (m_key == Key::Hierarchy) {
            m_state = IN_OBJECT_HIERARCHY;
            m_sawHierarchy = true;
            return true;
        }
        break;

    case IN_ARRAY_CHAIN:
        m_hierarchy.chain.append(brindlex::ChainItem());
        m_state = IN_OBJECT_CHAIN;
        return true;

    case IN_ARRAY_FOLDERS: {
        QVector<brindlex::Folder> &siblings =
            m_folderStack.empty() ? m_hierarchy.folders : m_folderStack.back()->folders;
        siblings.append(brindlex::Folder());
        m_folderStack.push_back(&siblings.last());
        ++m_foldersCount;
        if (m_foldersCount % 1000 == 0)
            qDebug() << "CJsonSaxHierarchyParser::start_object: foldersCount:" << m_foldersCount;
        m_state = IN_OBJECT_FOLDER;
        return true;
    }

    case IN_ARRAY_FILES: {
        m_files.emplace_back();
        m_currentFile = &m_files.back();
        ++m_filesCount;
        if (m_filesCount % 50000 == 0)
            qDebug() << "CJsonSaxHierarchyParser::start_object: filesCount:" << m_filesCount;
        m_state = IN_OBJECT_FILE;
        return true;
    }

    default:
        break;
    }
    qWarning() << "CJsonSaxHierarchyParser::start_object: parse error, state:" << stateName(m_state);
    return false;
}

bool CJsonSaxHierarchyParser::end_object()
{
    switch (m_state) {
    case IN_OBJECT_ROOT:
        m_state = OUTSIDE;
        return true;
    case IN_OBJECT_RESULT:
        m_state = IN_OBJECT_ROOT;
        return true;
    case IN_OBJECT_HIERARCHY:
        m_state = IN_OBJECT_RESULT;
        return true;
    case IN_OBJECT_CHAIN:
        m_state = IN_ARRAY_CHAIN;
        return true;
    case IN_OBJECT_FILE:
        m_currentFile = nullptr;
        m_state = IN_ARRAY_FILES;
        return true;
    case IN_OBJECT_FOLDER:
        if (m_folderStack.empty()) {
            qWarning() << "CJsonSaxHierarchyParser::end_object: parse error, folder stack corrupted";
            return false;
        }
        m_folderStack.pop_back();
        m_state = IN_ARRAY_FOLDERS;
        return true;
    default:
        break;
    }
    qWarning() << "CJsonSaxHierarchyParser::end_object: parse error, state:" << stateName(m_state);
    return false;
}

bool CJsonSaxHierarchyParser::start_array(std::size_t)
{
    if (m_state == IN_OBJECT_HIERARCHY && m_key == Key::Chain) {
        m_state = IN_ARRAY_CHAIN;
        return true;
    }
    if (m_state == IN_OBJECT_HIERARCHY || m_state == IN_OBJECT_FOLDER) {
        if (m_key == Key::Folders) {
            m_state = IN_ARRAY_FOLDERS;
            return true;
        }
        if (m_key == Key::Files) {
            m_state = IN_ARRAY_FILES;
            return true;
        }
    }
    qWarning() << "CJsonSaxHierarchyParser::start_array: parse error, state:" << stateName(m_state);
    return false;
}

bool CJsonSaxHierarchyParser::end_array()
{
    switch (m_state) {
    case IN_ARRAY_CHAIN:
        m_state = IN_OBJECT_HIERARCHY;
        return true;
    case IN_ARRAY_FILES: {
        QVector<brindlex::File> &files = m_folderStack.empty() ? m_hierarchy.files : m_folderStack.back()->files;
        files.reserve(files.size() + int(m_files.size()));
        for (brindlex::File &file : m_files)
            files.append(std::move(file));
        m_files.clear();
        m_state = m_folderStack.empty() ? IN_OBJECT_HIERARCHY : IN_OBJECT_FOLDER;
        return true;
    }
    case IN_ARRAY_FOLDERS:
        m_state = m_folderStack.empty() ? IN_OBJECT_HIERARCHY : IN_OBJECT_FOLDER;
        return true;
    default:
        break;
    }
    qWarning() << "CJsonSaxHierarchyParser::end_array: parse error, state:" << stateName(m_state);
    return false;
}

bool CJsonSaxHierarchyParser::parse_error(std::size_t position, const std::string &lastToken,
                                          const nlohmann::detail::exception &exception)
{
    qCritical() << "CJsonSaxHierarchyParser::parse_error: position:" << position << ", last_token:"
                << toQString(lastToken) << ", error:" << exception.what();
    return false;
}
