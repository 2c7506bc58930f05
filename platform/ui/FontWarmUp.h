#pragma once

#include <thread>

/** Reads the font configuration on another core while the application starts: fontconfig parses
 *  its XML files on first use, which would otherwise hold up the first window by several ms. */
class FontWarmUp {
public:
    FontWarmUp();
    ~FontWarmUp() { wait(); }
    FontWarmUp(const FontWarmUp&) = delete;
    FontWarmUp& operator=(const FontWarmUp&) = delete;
    /** Returns once the configuration is loaded. */
    void wait();

private:
    std::thread thread_;
};
