// A small set of named text values kept in memory and in a key=value text file.
#pragma once

#include <map>
#include <string>

class KeyValueStore
{
public:
    static const char* const DEFAULT_FILENAME;
    static const char* const KEY_CREATED_TIME;
    static const char* const KEY_UPDATED_TIME;

    // Empty set; loads `path` when it is given.
    explicit KeyValueStore(const char* path = nullptr);
    KeyValueStore(const KeyValueStore&) = default;
    KeyValueStore& operator=(const KeyValueStore&) = default;

    // Reads the file into the set; a missing file is created with both time stamps.
    void Load(const char* path);
    // Replaces the file with the whole set; false when it cannot be written,
    // and when it is the file last loaded and that could not be read whole
    // (a line too long, a read error): rewriting it would drop what was not
    // read, so it is left untouched. Problem() then says why.
    bool Save(const char* path = nullptr);
    // Why the last Save failed, or empty.
    const std::string& Problem() const { return problem; }

    // The value text, or null when the key is absent. Valid until the entry changes.
    const char* operator[](const char* key) const;

    // The numeric getters add an absent key with an empty value, so that a
    // later Save lists every key the tool has asked for.
    int GetInt(const char* key, int defaultValue);
    unsigned int GetHex(const char* key, unsigned int defaultValue);
    bool GetBOOL(const char* key, bool defaultValue);
    double GetDouble(const char* key, double defaultValue);
    std::string GetString(const char* key, const char* defaultValue) const;

    // Add returns false only for a null key.
    bool Add(const char* key, int value);
    bool Add(const char* key, double value);
    bool Add(const char* key, const char* value);
    bool Add(const char* key, const std::string& value);
    bool AddHex(const char* key, unsigned int value);
    // Copies every entry of `other`, replacing equal keys.
    bool Add(const KeyValueStore& other);
    bool Clear();

    const std::string& Path() const { return path; }
    bool IsModified() const { return modified; }
    const std::map<std::string, std::string>& Entries() const { return entries; }

    // The current local time in the ctime form, without its line feed.
    static std::string CurrentTimeText();

private:
    // The value of `key`, added empty when absent; null for a null key.
    const std::string* _lookup_inserting(const char* key);
    bool _store(const char* key, const std::string& text);
    void _parse_line(const char* line, size_t length);

    std::string path;
    std::map<std::string, std::string> entries;
    bool modified = false;
    // The file last loaded, when its reading stopped before its end.
    std::string partlyRead;
    std::string partlyReadWhy;
    std::string problem;
};
