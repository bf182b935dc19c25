// Directory creation and path joining over the platform's directory
// operations (unix/unix_directory.cpp).
#include <lumbrixon/kxDirectory.h>

#include <cstdarg>
#include <cstring>
#include <string>

// Creates one directory level; an existing directory is fine.
static kxErr sMakeLevel(const std::string& path, uint16_t mode)
{
    if (path.empty())
        return kxErrNone;
    return kxDirectory_Create(path.c_str(), mode);
}

kxErr kxDirectory_Ensure(const char* path, uint16_t mode)
{
    if (!path || !*path)
        return kxErrParam;
    if (kxDirectory_Exists(path))
        return kxErrNone;

    // Find the deepest existing ancestor. When none exists, every level is made.
    std::string full(path);
    size_t start = 0;
    for (size_t cut = full.find_last_of('/'); cut != std::string::npos && cut > 0;
         cut = full.find_last_of('/', cut - 1))
    {
        if (kxDirectory_Exists(full.substr(0, cut).c_str()))
        {
            start = cut;
            break;
        }
    }

    // Walk forward from there, separator by separator.
    for (size_t sep = full.find('/', start + 1); sep != std::string::npos;
         sep = full.find('/', sep + 1))
    {
        if (sep == 0 || full[sep - 1] == '/')
            continue;
        kxErr rc = sMakeLevel(full.substr(0, sep), mode);
        if (rc != kxErrNone)
            return rc;
    }
    return sMakeLevel(full, mode);
}

static kxErr sBuildPath(char* destination, size_t size, const char* first, va_list args)
{
    if (!destination || size == 0)
        return kxErrParam;
    destination[0] = '\0';
    if (!first || first == destination)
        return kxErrParam;

    const char* pieces[10];
    size_t count = 0;
    for (const char* p = va_arg(args, const char*); p; p = va_arg(args, const char*))
    {
        if (p == destination || count == 9)
            return kxErrParam;
        pieces[count++] = p;
    }

    size_t length = strlen(first);
    if (length >= size - 1)
        return kxErrOverrun;
    memcpy(destination, first, length + 1);

    const size_t sepLength = strlen(kxDIR_PATH_SEP);
    for (size_t i = 0; i < count; ++i)
    {
        const char* piece = pieces[i];
        size_t room = size - length - 1;
        bool endsWithSep = length > 0 && destination[length - 1] == kxDIR_PATH_SEP[0];
        if (room >= 2 && !endsWithSep && piece[0] != kxDIR_PATH_SEP[0])
        {
            memcpy(destination + length, kxDIR_PATH_SEP, sepLength + 1);
            length += sepLength;
            room -= sepLength;
        }
        size_t pieceLength = strlen(piece);
        if (pieceLength >= room)
            return kxErrOverrun;
        memcpy(destination + length, piece, pieceLength + 1);
        length += pieceLength;
    }
    return kxErrNone;
}

kxErr kxDirectory_BuildPath(char* destination, size_t size, const char* first, ...)
{
    va_list args;
    va_start(args, first);
    kxErr rc = sBuildPath(destination, size, first, args);
    va_end(args);
    return rc;
}

kxErr kxDirectory_JoinPath(char* destination, size_t size, const char* first, const char* second)
{
    return kxDirectory_BuildPath(destination, size, first, second,
                                 static_cast<const char*>(nullptr));
}
