// Signed publications: keygen, make --sign, and verify --key, checked against
// the openssl command a vendor would use instead.
#include "publish/errors.h"
#include "publish/make_list.h"
#include "publish/signing.h"
#include "tests/native/publish_test_support.h"
#include "trust/signed_list_values.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>

using namespace tallowfin::publish;
using namespace tallowfin::publish::test;

namespace {

int Openssl(const std::string& arguments) { return std::system(("openssl " + arguments + " >/dev/null 2>&1").c_str()); }

// A release, a key pair, and the list made for it signed with that key.
class PublishSign : public ::testing::Test {
protected:
    PublishSign()
    {
        WriteFile(release / "TallowfinMain.exe", "main program");
        WriteFile(release / "data" / "abc.txt", "abc");
        EXPECT_EQ(RunTool({"keygen", Utf8(key), Utf8(pub)}).status, 0);
    }

    ToolRun Make(const std::vector<std::string>& more = {})
    {
        std::vector<std::string> arguments = {"make", Utf8(release), "-o", Utf8(list), "--sign", Utf8(key)};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return RunTool(arguments);
    }
    ToolRun Verify() { return RunTool({"verify", Utf8(list), "--dir", Utf8(release), "--key", Utf8(pub)}); }
    std::string Serial() const
    {
        const std::string xml = ReadFile(list);
        const auto at = xml.find("serial=\"") + 8;
        return xml.substr(at, xml.find('"', at) - at);
    }

    TempFolder temp;
    fs::path release = temp / "release";
    fs::path key = temp / "private.pem";
    fs::path pub = temp / "public.pem";
    fs::path list = temp / "served" / "filelist.xml";
};

TEST_F(PublishSign, KeygenWritesAPairOnceWithTheSecretForItsOwnerOnly)
{
    struct stat info{};
    ASSERT_EQ(stat(key.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(Openssl("pkey -in " + Utf8(key) + " -noout"), 0);
    EXPECT_EQ(ReadPublicKeyFile(pub).size(), 1u);
    const std::string secret = ReadFile(key);
    // Never over an existing file, and never half a pair.
    EXPECT_EQ(RunTool({"keygen", Utf8(key), Utf8(temp / "other.pem")}).status, 2);
    EXPECT_FALSE(fs::exists(temp / "other.pem"));
    EXPECT_EQ(RunTool({"keygen", Utf8(temp / "other.pem"), Utf8(pub)}).status, 2);
    EXPECT_FALSE(fs::exists(temp / "other.pem"));
    EXPECT_EQ(ReadFile(key), secret);
}

TEST_F(PublishSign, SignedListVerifiesWithOpensslAndCarriesSerialAndSha256)
{
    fs::create_directories(list.parent_path());
    const ToolRun made = Make({"--public", Utf8(pub), "--serial", "42"});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(Openssl("dgst -sha256 -verify " + Utf8(pub) + " -signature " + Utf8(list) + ".sig " + Utf8(list)), 0);
    const std::string xml = ReadFile(list);
    EXPECT_NE(xml.find("<filelist serial=\"42\">"), std::string::npos);
    // The SHA-256 of "abc", as published with the algorithm.
    EXPECT_NE(xml.find("<sha256>ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad</sha256>"),
              std::string::npos);
    EXPECT_EQ(Verify().out, "2 entries, no problems\n");

    // A private key that is not the one the updater holds publishes nothing.
    const fs::path stranger = temp / "stranger.pem";
    ASSERT_EQ(RunTool({"keygen", Utf8(stranger), Utf8(temp / "stranger.pub.pem")}).status, 0);
    const ToolRun refused =
        RunTool({"make", Utf8(release), "-o", Utf8(list), "--sign", Utf8(stranger), "--public", Utf8(pub)});
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("does not belong"), std::string::npos) << refused.err;
    EXPECT_EQ(ReadFile(list), xml);
}

TEST_F(PublishSign, SerialGrowsFromThePreviousListOrTheClockAndNeverGoesBack)
{
    EXPECT_EQ(NextSerial(std::nullopt, 1800000000), 1800000000u);
    EXPECT_EQ(NextSerial(1900000000, 1800000000), 1900000001u);
    EXPECT_EQ(NextSerial(5, 1800000000), 1800000000u);
    EXPECT_THROW(NextSerial(tallowfin::kLargestListSerial, 1), InputError);

    fs::create_directories(list.parent_path());
    ASSERT_EQ(Make({"--serial", "1900000000"}).status, 0);
    ASSERT_EQ(Make().status, 0);
    EXPECT_EQ(Serial(), "1900000001");
    const ToolRun older = Make({"--serial", "1900000000"});
    EXPECT_EQ(older.status, 2);
    EXPECT_NE(older.err.find("replay"), std::string::npos) << older.err;
    EXPECT_EQ(Make({"--serial", "1900000001"}).status, 0) << "the same publication may be signed again";
    EXPECT_EQ(Make({"--serial", "01"}).status, 2);
}

TEST_F(PublishSign, VerifyWithKeysFindsWhatAnUpdaterWithThemRefuses)
{
    fs::create_directories(list.parent_path());
    ASSERT_EQ(Make().status, 0);
    ASSERT_EQ(Verify().status, 0);
    const std::string xml = ReadFile(list);
    const std::string signature = ReadFile(list.string() + ".sig");
    auto expectProblem = [&](const std::string& problem) {
        const ToolRun run = Verify();
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.out.find(problem), std::string::npos) << run.out;
        WriteFile(list, xml);
        WriteFile(list.string() + ".sig", signature);
        WriteFile(release / "data" / "abc.txt", "abc");
    };

    WriteFile(list, xml.substr(0, xml.find("<filelist")) + "<filelist serial=\"1\"" + xml.substr(xml.find('>', xml.find("<filelist"))));
    expectProblem("list: the signature");
    WriteFile(list.string() + ".sig", "");
    expectProblem("list: the signature");
    fs::remove(list.string() + ".sig");
    expectProblem("list: no signature");
    // Served content that is not what was signed.
    WriteFile(release / "data" / "abc.txt", "abd");
    expectProblem("not the listed sha256");
    // Unsigned, the list lacks what an updater with keys requires.
    ASSERT_EQ(RunTool({"make", Utf8(release), "-o", Utf8(list)}).status, 0);
    const ToolRun unsigned_ = Verify();
    EXPECT_NE(unsigned_.out.find("list: the list has no serial"), std::string::npos) << unsigned_.out;
    EXPECT_NE(unsigned_.out.find("entry 1: no <sha256> element"), std::string::npos) << unsigned_.out;
}

}  // namespace
