// A private directory under the system's temporary folder, removed with everything in it on destruction. Shared
// by the platform's tests and the tests and tools that drive the service from outside.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

class TestTemp {
public:
    TestTemp()
    {
        const std::string pattern = (std::filesystem::temp_directory_path() / "kxtest.XXXXXX").string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (::mkdtemp(buf.data()) != nullptr)
            m_path = buf.data();
    }
    ~TestTemp()
    {
        std::error_code ec;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ec);
    }
    TestTemp(const TestTemp&) = delete;
    TestTemp& operator=(const TestTemp&) = delete;

    bool Ok() const { return !m_path.empty(); }
    const std::string& Path() const { return m_path; }
    std::string Path(const std::string& name) const { return m_path + "/" + name; }
    std::string operator/(const std::string& name) const { return Path(name); }

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
    std::string m_path;
};
