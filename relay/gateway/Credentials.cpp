#include "relay/gateway/Credentials.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

namespace {

std::string Trim(const std::string& s)
{
    const size_t b = s.find_first_not_of(" \t\r");
    const size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

} // namespace

bool ReadCredentialsFile(const std::string& path, std::map<std::string, std::string>& values,
                         std::string& error)
{
    constexpr size_t kMaxCredentials = 64 << 10;
    struct stat st {};
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) ::close(fd);
        error = "cannot read the credentials file " + path;
        return false;
    }
    if (st.st_mode & (S_IRGRP | S_IROTH)) {
        ::close(fd);
        error = path + " can be read by others than its owner: it holds passwords (chmod 600)";
        return false;
    }
    std::string text(kMaxCredentials + 1, '\0');
    const ssize_t n = ::read(fd, text.data(), text.size());
    ::close(fd);
    if (n < 0 || size_t(n) > kMaxCredentials) {
        error = path + ": not a credentials file (unreadable or over 64 KiB)";
        return false;
    }
    text.resize(size_t(n));
    std::map<std::string, std::string> read;
    std::istringstream in(text);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        line = Trim(line);
        if (line.empty() || line[0] == '#') continue;
        const size_t eq = line.find('=');
        const std::string key = eq == std::string::npos ? "" : Trim(line.substr(0, eq));
        if (key.empty()) {
            error = path + ":" + std::to_string(number) + ": expected KEY = VALUE";
            return false;
        }
        read[key] = Trim(line.substr(eq + 1));
    }
    values = std::move(read);
    return true;
}
