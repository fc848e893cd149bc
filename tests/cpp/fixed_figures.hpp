// A fixed figure of the memory available, for code that reads the running
// system's figures deep inside a call (admissions, checks): while one lives,
// those readings see a directory whose /proc/meminfo says `available` bytes
// (no control group), whatever the machine has at the time.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "memory.hpp"

class FixedAvailableMemory {
public:
    // `available` is written in kB, as the kernel writes it: a whole number
    // of KiB.
    explicit FixedAvailableMemory(std::uint64_t available) {
        std::string pattern = (std::filesystem::temp_directory_path() / "karvelum_figures_XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
        std::filesystem::create_directories(std::filesystem::path(path_) / "proc");
        set(available);
        karvelum::read_system_figures_under(path_);
    }
    // From now on the figure says `available` bytes (whole KiB). The file is
    // replaced whole, so that a reading meanwhile sees the old figure or
    // the new one.
    void set(std::uint64_t available) const {
        if (available % 1024 != 0) throw std::invalid_argument("available memory must be whole KiB");
        const std::filesystem::path proc = std::filesystem::path(path_) / "proc";
        std::ofstream(proc / "meminfo.new")
            << "MemTotal:       " << (available >> 10) << " kB\nMemAvailable:   " << (available >> 10) << " kB\n";
        std::filesystem::rename(proc / "meminfo.new", proc / "meminfo");
    }
    ~FixedAvailableMemory() {
        karvelum::read_system_figures_under("");
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    FixedAvailableMemory(const FixedAvailableMemory&) = delete;
    FixedAvailableMemory& operator=(const FixedAvailableMemory&) = delete;

private:
    std::string path_;
};
