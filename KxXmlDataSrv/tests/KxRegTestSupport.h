// Shared pieces of the runtime-path reader tests.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "KxReg.h"
#include "../../SDK/Src/platform/KxOs/KxOsRegistry/tests/RegistryTestSupport.h"

namespace regtest {

// Builds a registry text with values below HKLM: each entry is key path, value name, type name and text.
struct Entry {
    std::string key;
    std::string name;
    std::string type;
    std::string text;
};

inline std::string BuildDocument(const std::vector<Entry>& entries)
{
    pugi::xml_document doc;
    pugi::xml_node hklm = doc.append_child("KxRegistry").append_child("Key");
    hklm.append_attribute("Name") = "HKLM";
    for (const Entry& e : entries) {
        pugi::xml_node node = hklm;
        size_t start = 0;
        while (start <= e.key.size() && !e.key.empty()) {
            size_t end = e.key.find('\\', start);
            std::string part = e.key.substr(start, end == std::string::npos ? std::string::npos : end - start);
            pugi::xml_node child = node.find_child_by_attribute("Key", "Name", part.c_str());
            if (!child) {
                child = node.append_child("Key");
                child.append_attribute("Name") = part.c_str();
            }
            node = child;
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
        pugi::xml_node value = node.append_child("Value");
        value.append_attribute("Name") = e.name.c_str();
        value.append_attribute("Type") = e.type.c_str();
        value.text() = e.text.c_str();
    }
    std::ostringstream out;
    doc.save(out, "", pugi::format_raw);
    return out.str();
}

// A fresh store per test, with the readers back on the current layout.
class KxRegFixture : public RegistryFixture {
protected:
    void SetUp() override
    {
        RegistryFixture::SetUp();
        KxRegInit();
    }
    void TearDown() override
    {
        KxRegInit();
        RegistryFixture::TearDown();
    }
    // A read-only store holding exactly the given values.
    void Load(const std::vector<Entry>& entries)
    {
        const std::string xml = BuildDocument(entries);
        ASSERT_NE(nullptr, OpenFromXml(xml.c_str()));
    }
};

} // namespace regtest
