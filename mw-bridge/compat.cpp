#include "compat.h"

#include "logging.h"

#include <cctype>
#include <cstring>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace
{

void terminateAndLower(char* buffer, size_t size)
{
    buffer[size - 1] = '\0';
    for (char* p = buffer; *p != '\0'; ++p)
        *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
}

} // namespace

int tarnixCompat_getComputerName(char* buffer, size_t size)
{
    if (size == 0)
        return -1;

    int result = 0;
    /* gethostname fails (ENAMETOOLONG) rather than truncating silently. */
    if (gethostname(buffer, size) != 0)
    {
        TARNIX_LOG_WARN("Could not get computer name.");
        buffer[0] = '\0';
        result = -1;
    }
    terminateAndLower(buffer, size);
    return result;
}

int tarnixCompat_getUserName(char* buffer, size_t size)
{
    if (size == 0)
        return -1;

    int result = -1;
    long bufSize = sysconf(_SC_GETPW_R_SIZE_MAX);
    if (bufSize <= 0)
        bufSize = 16384;
    try
    {
        std::vector<char> pwBuf(static_cast<size_t>(bufSize));
        struct passwd pw;
        struct passwd* found = nullptr;
        if (getpwuid_r(geteuid(), &pw, pwBuf.data(), pwBuf.size(), &found) == 0 && found != nullptr &&
            found->pw_name != nullptr && std::strlen(found->pw_name) < size)
        {
            std::strcpy(buffer, found->pw_name);
            result = 0;
        }
    }
    catch (...)
    {
        result = -1;
    }
    if (result != 0)
    {
        TARNIX_LOG_WARN("Could not get user name.");
        buffer[0] = '\0';
    }
    terminateAndLower(buffer, size);
    return result;
}

int tarnixCompat_platformInit(void)
{
    return 0;
}

int tarnixCompat_platformCleanup(void)
{
    return 0;
}
