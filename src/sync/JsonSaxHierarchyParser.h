#pragma once

#include "Hierarchy.h"

#include <QByteArray>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

// Builds a brindlex::Hierarchy from a getHierarchy response body while nlohmann's SAX
// parser streams through it, so that the document never exists as a tree. Meant for bodies
// too large for QJsonDocument.
//
// It takes ids only as JSON strings and "fileSize" only as a JSON unsigned number; of
// "result" it reads nothing but "hierarchy". Any nested object or array in a place the
// hierarchy format does not name aborts the parse; scalar members anywhere are skipped.
//
// One parse at a time; parse() starts from scratch, so the object can be reused.
class CJsonSaxHierarchyParser final : public nlohmann::json::json_sax_t
{
public:
    enum State {
        OUTSIDE = 0,
        IN_OBJECT_ROOT = 1,
        IN_OBJECT_RESULT = 2,
        IN_OBJECT_HIERARCHY = 3,
        IN_ARRAY_CHAIN = 4,
        IN_OBJECT_CHAIN = 5,
        IN_ARRAY_FOLDERS = 6,
        IN_OBJECT_FOLDER = 7,
        IN_ARRAY_FILES = 8,
        IN_OBJECT_FILE = 9,
    };

    // True when the whole document was read and every object it opened was closed.
    // After false the partly built hierarchy must not be used.
    bool parse(const QByteArray &hierarchyData);
    // The same, read from a file piece by piece: the body never sits whole in memory.
    bool parseFile(const QString &path);

    // A copy of what the last parse built; it stays until the next parse.
    brindlex::Hierarchy hierarchy() const { return m_hierarchy; }

    State state() const { return m_state; }
    static const char *stateName(int state);

    // SAX events: true continues, false aborts the parse.
    bool null() override;
    bool boolean(bool value) override;
    bool number_integer(number_integer_t value) override;
    bool number_unsigned(number_unsigned_t value) override;
    bool number_float(number_float_t value, const string_t &text) override;
    bool string(string_t &value) override;
    bool binary(binary_t &value) override;
    bool key(string_t &value) override;
    bool start_object(std::size_t elements) override;
    bool end_object() override;
    bool start_array(std::size_t elements) override;
    bool end_array() override;
    bool parse_error(std::size_t position, const std::string &lastToken,
                     const nlohmann::detail::exception &exception) override;

private:
    // The member names the hierarchy format knows; any other key is Other.
    enum class Key : quint8 {
        Other,
        Id,
        Pid,
        State,
        Name,
        Type,
        SubType,
        DashifiedName,
        TenantId,
        TenantName,
        CreatedTime,
        ModifiedTime,
        ContentHash,
        FileSize,
        Result,
        Hierarchy,
        Chain,
        Folders,
        Files,
    };
    static Key keyOf(const std::string &name);

    void reset();
    template<typename SaxParse>
    bool parseWith(SaxParse &&saxParse);

    State m_state = OUTSIDE;
    Key m_key = Key::Other;
    brindlex::Hierarchy m_hierarchy;
    // Records already placed in their parent's list, innermost last. Only the list of the
    // innermost folder grows while they are held, and none of them lives in it.
    std::vector<brindlex::Folder *> m_folderStack;
    // The files of the array being read, handed to their list in one piece when it closes: a
    // list that grows one file at a time keeps a third of its room unused.
    std::vector<brindlex::File> m_files;
    brindlex::File *m_currentFile = nullptr;
    int m_foldersCount = 0;
    int m_filesCount = 0;
    bool m_sawHierarchy = false;
};
