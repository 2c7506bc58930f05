#include "relay/gateway/Credentials.h"

#include <cerrno>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/** More than any credentials take: a file named by mistake is refused, not read whole. */
constexpr size_t kMaxCredentialsBytes = 64 * 1024;

std::string Trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

/** The whole file through fd, or false when it is larger than credentials can be. */
bool ReadAll(int fd, std::string& text)
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        text.append(buffer, size_t(n));
        if (text.size() > kMaxCredentialsBytes) return false;
    }
}

} // namespace

bool ReadCredentialsFile(const std::string& path, std::map<std::string, std::string>& values,
                         std::string& error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "cannot read the credentials file " + path +
                (fd < 0 ? std::string(": ") + std::strerror(errno) : std::string());
        if (fd >= 0) ::close(fd);
        return false;
    }
    if (st.st_mode & (S_IRGRP | S_IROTH)) {
        ::close(fd);
        error = path + " can be read by its group or every user: it holds passwords (chmod 600)";
        return false;
    }
    std::string text;
    const bool read = ReadAll(fd, text);
    ::close(fd);
    if (!read) {
        error = path + " is not a credentials file (unreadable or larger than 64 KiB)";
        return false;
    }
    std::istringstream lines(text);
    int number = 0;
    std::map<std::string, std::string> found;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        const std::string trimmed = Trimmed(line);
        if (trimmed.empty() || trimmed[0] == '#') continue;
        const size_t equals = trimmed.find('=');
        const std::string key = Trimmed(trimmed.substr(0, equals));
        const std::string at = path + ":" + std::to_string(number) + ": ";
        if (equals == std::string::npos || key.empty() ||
            key.find_first_of(" \t") != std::string::npos) {
            error = at + "not KEY = VALUE";
            return false;
        }
        if (!found.emplace(key, Trimmed(trimmed.substr(equals + 1))).second) {
            error = at + key + " is given twice";
            return false;
        }
    }
    for (auto& [key, value] : found)
        values[key] = std::move(value);
    return true;
}
