// tempdir.h - a temporary directory that removes itself, and a helper
// that captures trace output.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

#include <stdlib.h>
#include <unistd.h>

struct TempDir {
    std::filesystem::path path;
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "korva-test-XXXXXX").string();
        if (char *p = ::mkdtemp(tmpl.data())) path = p;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string operator/(const std::string &name) const { return (path / name).string(); }
};

// Changes the working directory for the lifetime of the object.
struct ScopedCwd {
    std::filesystem::path old = std::filesystem::current_path();
    explicit ScopedCwd(const std::filesystem::path &to) { std::filesystem::current_path(to); }
    ~ScopedCwd() { std::filesystem::current_path(old); }
};

std::string ReadWholeFile(const std::string &path);
