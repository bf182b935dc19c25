#include "app/store/KeyValueStore.h"

#include "app/Log.h"
#include "app/store/ReplacementFile.h"
#include <lumbrixon/kxFile.h>

#include <cctype>
#include <cstdarg>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";

namespace
{
// One line as read, its line feed included, fits in this buffer.
constexpr size_t _LINE_BUFFER_SIZE = 2048;

bool _is_blank(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// atoi without its undefined overflow: out-of-range values saturate.
int _to_int(const std::string& text)
{
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

std::string _format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string _format(const char* format, ...)
{
    char small[64];
    va_list args;
    va_start(args, format);
    const int needed = vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (needed < 0)
        return std::string();
    if (static_cast<size_t>(needed) < sizeof small)
        return std::string(small, static_cast<size_t>(needed));
    std::string text(static_cast<size_t>(needed) + 1, '\0');
    va_start(args, format);
    vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    text.resize(static_cast<size_t>(needed));
    return text;
}

// A line break inside a key or value would split the entry on the next load.
std::string _one_line(const std::string& text)
{
    std::string line = text;
    for (char& c : line)
    {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    return line;
}
} // namespace

KeyValueStore::KeyValueStore(const char* path)
{
    if (path != nullptr)
        Load(path);
}

std::string KeyValueStore::CurrentTimeText()
{
    const time_t now = time(nullptr);
    char text[64] = {0};
    if (ctime_r(&now, text) == nullptr)
        return std::string();
    std::string result(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r'))
        result.pop_back();
    return result;
}

void KeyValueStore::_parse_line(const char* line, size_t length)
{
    const size_t size = strnlen(line, length);
    size_t end = size;
    if (end > 0 && line[end - 1] == '\n')
        --end;
    // Shorter than 3 characters with its line feed: a last line without one
    // counts as if it had it.
    if (end < 2 || line[0] == '#')
        return;

    size_t start = 0;
    while (start < end && _is_blank(line[start]))
        ++start;
    const char* equals = static_cast<const char*>(memchr(line + start, '=', end - start));
    if (equals == nullptr)
        return;
    size_t keyEnd = static_cast<size_t>(equals - line);
    while (keyEnd > start && _is_blank(line[keyEnd - 1]))
        --keyEnd;
    if (keyEnd == start)
        return;

    size_t valueStart = static_cast<size_t>(equals - line) + 1;
    while (valueStart < end && _is_blank(line[valueStart]))
        ++valueStart;
    size_t valueEnd = end;
    while (valueEnd > valueStart && _is_blank(line[valueEnd - 1]))
        --valueEnd;

    entries[std::string(line + start, keyEnd - start)] =
        std::string(line + valueStart, valueEnd - valueStart);
}

void KeyValueStore::Load(const char* newPath)
{
    if (newPath == nullptr || newPath[0] == '\0')
    {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n",
                 newPath == nullptr ? "" : newPath, ENOENT);
        return;
    }
    // Copied first: the argument may point into this set's own path.
    const std::string target(newPath);
    partlyRead.clear();

    errno = 0;
    kxFileRef file = kxFile_Open(target.c_str(), kxFileRead);
    if (file == nullptr)
    {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n",
                 target.c_str(), errno);
        Add(KEY_CREATED_TIME, CurrentTimeText());
        Save(target.c_str());
    }

    path = target;
    modified = false;
    if (file == nullptr)
        return;

    char line[_LINE_BUFFER_SIZE];
    size_t length = 0;
    kxErr read = kxErrNone;
    errno = 0;
    while ((read = kxFile_ReadLine(file, line, sizeof line, &length)) == kxErrNone)
        _parse_line(line, length);
    const int readError = errno;
    kxFile_Close(&file);
    if (read != kxErrEOF)
    {
        Log::log(DEBUG_Attributes, "Attibutes: Error - could not read all of '%s' (%d)\n",
                 target.c_str(), static_cast<int>(read));
        partlyRead = target;
        partlyReadWhy =
            read == kxErrOverrun
                ? "a line is longer than " + std::to_string(_LINE_BUFFER_SIZE - 1) + " characters"
                : std::string(readError != 0 ? strerror(readError) : "read error");
    }
}

bool KeyValueStore::Save(const char* newPath)
{
    if (newPath != nullptr && newPath[0] != '\0')
    {
        path = newPath;
    }
    else if (path.empty())
    {
        path = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes,
                 "Attibutes: no filename given for attributes, using default:[%s]\n", path.c_str());
    }

    problem.clear();
    if (!partlyRead.empty() && path == partlyRead)
    {
        problem = path + " could not be read whole (" + partlyReadWhy +
                  "), so it is not rewritten and stays as it is";
        Log::log(DEBUG_Attributes, "Attibutes: Error - %s\n", problem.c_str());
        return false;
    }

    if (modified)
        entries[KEY_UPDATED_TIME] = CurrentTimeText();

    ReplacementFile out(path);
    if (out.Open() != kxErrNone)
    {
        Log::log(DEBUG_Attributes,
                 "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 path.c_str(), out.SystemError());
        problem = path + ": " + strerror(out.SystemError());
        return false;
    }
    bool written = true;
    for (const auto& [key, value] : entries)
    {
        if (kxFile_Printf(out.File(), "%s=%s\n", _one_line(key).c_str(),
                          _one_line(value).c_str()) != kxErrNone)
        {
            written = false;
            break;
        }
    }
    if (!written || out.Commit() != kxErrNone)
    {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%d)\n",
                 path.c_str(), out.SystemError());
        problem =
            path + ": " + (out.SystemError() != 0 ? strerror(out.SystemError()) : "write error");
        out.Discard();
        return false;
    }
    modified = false;
    return true;
}

const char* KeyValueStore::operator[](const char* key) const
{
    if (key == nullptr)
        return nullptr;
    const auto found = entries.find(key);
    return found == entries.end() ? nullptr : found->second.c_str();
}

const std::string* KeyValueStore::_lookup_inserting(const char* key)
{
    if (key == nullptr)
        return nullptr;
    return &entries[key];
}

int KeyValueStore::GetInt(const char* key, int defaultValue)
{
    const std::string* value = _lookup_inserting(key);
    if (value == nullptr || value->empty())
        return defaultValue;
    return _to_int(*value);
}

unsigned int KeyValueStore::GetHex(const char* key, unsigned int defaultValue)
{
    const std::string* value = _lookup_inserting(key);
    if (value == nullptr || value->empty())
        return defaultValue;
    return static_cast<unsigned int>(std::strtol(value->c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const char* key, bool defaultValue)
{
    const std::string* value = _lookup_inserting(key);
    if (value == nullptr || value->empty())
        return defaultValue;
    return _to_int(*value) != 0;
}

double KeyValueStore::GetDouble(const char* key, double defaultValue)
{
    const std::string* value = _lookup_inserting(key);
    if (value == nullptr || value->empty())
        return defaultValue;
    return std::strtod(value->c_str(), nullptr);
}

std::string KeyValueStore::GetString(const char* key, const char* defaultValue) const
{
    const char* value = (*this)[key];
    if (value != nullptr)
        return value;
    return defaultValue == nullptr ? std::string() : std::string(defaultValue);
}

bool KeyValueStore::_store(const char* key, const std::string& text)
{
    if (key == nullptr)
        return false;
    std::string& slot = entries[key];
    if (slot != text)
    {
        slot = text;
        modified = true;
    }
    return true;
}

bool KeyValueStore::Add(const char* key, int value)
{
    return _store(key, _format("%d", value));
}

bool KeyValueStore::Add(const char* key, double value)
{
    return _store(key, _format("%f", value));
}

bool KeyValueStore::Add(const char* key, const char* value)
{
    return _store(key, value == nullptr ? std::string() : std::string(value));
}

bool KeyValueStore::Add(const char* key, const std::string& value)
{
    return _store(key, value);
}

bool KeyValueStore::AddHex(const char* key, unsigned int value)
{
    return _store(key, _format("0x%08X", value));
}

bool KeyValueStore::Add(const KeyValueStore& other)
{
    for (const auto& [key, value] : other.entries)
        entries[key] = value;
    if (!other.entries.empty())
        modified = true;
    return true;
}

bool KeyValueStore::Clear()
{
    entries.clear();
    modified = true;
    return true;
}
