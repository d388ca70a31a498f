// The POSIX stand-in for private-profile INI files.
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>

#include "platform/platform.h"

namespace {

class SettingsFile : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kb_ini_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        path = dir + "/settings.ini";
    }
    void TearDown() override {
        std::string command = "rm -rf '" + dir + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    void write(const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
    std::string read() {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string readString(const char* section, const char* key, int size = 256) {
        char out[256];
        int n = platformIniReadString(section, key, "dflt", out, size, path.c_str());
        EXPECT_EQ(n, static_cast<int>(std::string(out).size()));
        return out;
    }
    std::string dir, path;
};

TEST_F(SettingsFile, NamesCompareWithoutCaseAndMissingGivesDefault) {
    write("[gen_ml_config]\n  Query_Num = 2 \nquery1_val=\"a b.m3u\"\n;query2_val=x\n"
          "[Other]\nquery_num=9\n");
    EXPECT_EQ(platformIniReadInt("GEN_ML_CONFIG", "query_num", 0, path.c_str()), 2);
    EXPECT_EQ(platformIniReadInt("other", "QUERY_NUM", 0, path.c_str()), 9);
    EXPECT_EQ(platformIniReadInt("gen_ml_config", "absent", -5, path.c_str()), -5);
    EXPECT_EQ(platformIniReadInt("nosection", "query_num", 7, path.c_str()), 7);
    EXPECT_EQ(platformIniReadInt("gen_ml_config", "query_num", 7, (dir + "/none").c_str()), 7);
    EXPECT_EQ(readString("gen_ml_config", "query1_val"), "a b.m3u");
    EXPECT_EQ(readString("gen_ml_config", "query2_val"), "dflt"); // commented out
    EXPECT_EQ(readString("gen_ml_config", "query1_val", 4), "a b");
}

TEST_F(SettingsFile, WriteCreatesFileSectionAndKey) {
    ASSERT_EQ(
        platformIniWriteString("KestrelBloom UPnP Media Server", "STARTED", "0", path.c_str()), 0);
    EXPECT_EQ(read(), "[KestrelBloom UPnP Media Server]\nSTARTED=0\n");
    ASSERT_EQ(platformIniWriteString("kestrelbloom upnp media server", "other", "x", path.c_str()),
              0);
    EXPECT_EQ(read(), "[KestrelBloom UPnP Media Server]\nSTARTED=0\nother=x\n");
}

TEST_F(SettingsFile, WriteChangesOneLineAndKeepsTheRest) {
    write("; comment\r\n[Winamp]\r\nvolume=200\r\n\r\n[KestrelBloom UPnP Media Server]\r\n"
          "started=1\r\n\r\n[Last]\r\nkey=v\r\n");
    ASSERT_EQ(
        platformIniWriteString("KestrelBloom UPnP Media Server", "STARTED", "0", path.c_str()), 0);
    EXPECT_EQ(read(), "; comment\r\n[Winamp]\r\nvolume=200\r\n\r\n"
                      "[KestrelBloom UPnP Media Server]\r\nSTARTED=0\r\n\r\n[Last]\r\nkey=v\r\n");
    // A new key joins the end of its own section, not the end of the file.
    ASSERT_EQ(platformIniWriteString("winamp", "eq", "off", path.c_str()), 0);
    EXPECT_EQ(read(), "; comment\r\n[Winamp]\r\nvolume=200\r\neq=off\r\n\r\n"
                      "[KestrelBloom UPnP Media Server]\r\nSTARTED=0\r\n\r\n[Last]\r\nkey=v\r\n");
    EXPECT_EQ(platformIniReadInt("winamp", "volume", 0, path.c_str()), 200);
}

TEST_F(SettingsFile, NullValueDeletesKeyAndNullKeyDeletesSection) {
    write("[A]\nx=1\ny=2\n[B]\nz=3\n");
    ASSERT_EQ(platformIniWriteString("a", "x", nullptr, path.c_str()), 0);
    EXPECT_EQ(read(), "[A]\ny=2\n[B]\nz=3\n");
    ASSERT_EQ(platformIniWriteString("A", nullptr, nullptr, path.c_str()), 0);
    EXPECT_EQ(read(), "[B]\nz=3\n");
}

TEST_F(SettingsFile, UnwritableFolderReportsFailureAndLeavesNoFile) {
    std::string missing = dir + "/no/such/folder/settings.ini";
    EXPECT_EQ(platformIniWriteString("A", "x", "1", missing.c_str()), -1);
    EXPECT_NE(access((dir + "/no").c_str(), F_OK), 0);
}

} // namespace
