// A private temporary folder per test, removed with everything in it afterwards.
#pragma once

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

class TestTemp {
public:
    TestTemp()
    {
        char pattern[] = "/tmp/kxplatform.XXXXXX";
        char* dir = mkdtemp(pattern);
        if (dir != nullptr)
            m_path = dir;
    }
    ~TestTemp()
    {
        if (!m_path.empty())
            nftw(m_path.c_str(), &RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
    }
    bool Ok() const { return !m_path.empty(); }
    const std::string& Path() const { return m_path; }
    std::string Path(const std::string& name) const { return m_path + "/" + name; }

    static std::string ReadAll(const std::string& path)
    {
        std::string out;
        FILE* f = fopen(path.c_str(), "rb");
        if (f == nullptr)
            return "<missing>";
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
            out.append(buf, n);
        fclose(f);
        return out;
    }
    static bool WriteAll(const std::string& path, const std::string& text)
    {
        FILE* f = fopen(path.c_str(), "wb");
        if (f == nullptr)
            return false;
        bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
        return fclose(f) == 0 && ok;
    }

private:
    static int RemoveOne(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }
    std::string m_path;
};
