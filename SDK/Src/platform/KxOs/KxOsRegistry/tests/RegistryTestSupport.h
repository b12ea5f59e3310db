// Shared fixture of the registry tests: every test gets its own store rooted in a fresh temporary folder.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../KxXmlRegistry.h"

namespace regtest {

std::string MakeTempDir();
void RemoveTree(const std::string& dir);
bool FileExists(const std::string& path);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
// Names of the entries of a folder, sorted.
std::vector<std::string> ListDir(const std::string& dir);
// The document a write-enabled store writes when it finds no file under root.
std::string DefaultDocument(const std::string& root);

// Reads a string value below HKLM; "" and the error in rc when it fails.
std::string QueryString(const char* key, const char* name, LONG* rc = nullptr);

class RegistryFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Destroys the current store (saving it when write-enabled and changed).
    static void DestroyStore();
    // A fresh read-only store on the fixture's folder.
    CKxXmlRegistry* OpenReadOnly();
    // A fresh write-enabled store on the fixture's folder.
    CKxXmlRegistry* OpenWritable();
    // A fresh store that loads text instead of the file.
    CKxXmlRegistry* OpenFromXml(const char* xml, bool writeEnable = false);

    std::string FilePath() const { return m_dir + "/KxRegistry.xml"; }
    std::string BakPath() const { return m_dir + "/KxRegistry.bak"; }

    std::string m_dir;
};

} // namespace regtest
