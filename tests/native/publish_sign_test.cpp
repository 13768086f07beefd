// Signed publications: keygen, make --sign, and verify --key, checked against
// the openssl command a vendor would use instead; and the slips a publisher
// can make with them (a key at hand, a key others can read, a serial below
// the served one or far ahead of the clock, a list about to expire, a stale
// signature on the server).
#include "publish/errors.h"
#include "publish/make_list.h"
#include "publish/signing.h"
#include "common/utc_clock.h"
#include "tests/support/http_server.h"
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

std::uint64_t Now() { return tallowfin::UtcSecondsNow(); }

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
        std::vector<std::string> arguments = {"make", Utf8(release), "-o", Utf8(list), "--sign", Utf8(key),
                                              "--public", Utf8(pub)};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return RunTool(arguments);
    }
    ToolRun Verify() { return RunTool({"verify", Utf8(list), "--dir", Utf8(release), "--key", Utf8(pub)}); }
    std::string Serial() const { return SerialOf(list); }
    static std::string SerialOf(const fs::path& file)
    {
        const std::string xml = ReadFile(file);
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
    const ToolRun made = Make({"--serial", "42"});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(Openssl("dgst -sha256 -verify " + Utf8(pub) + " -signature " + Utf8(list) + ".sig " + Utf8(list)), 0);
    const std::string xml = ReadFile(list);
    EXPECT_NE(xml.find("<filelist serial=\"42\">"), std::string::npos);
    // The SHA-256 of "abc", as published with the algorithm.
    EXPECT_NE(xml.find("<sha256>ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad</sha256>"),
              std::string::npos);
    EXPECT_NE(xml.find("<size>3</size>"), std::string::npos);
    EXPECT_NE(xml.find("<size>12</size>"), std::string::npos);
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

    // An hour ahead of the clock: the next list follows it, not the clock.
    const std::string ahead = std::to_string(Now() + 3600);
    fs::create_directories(list.parent_path());
    ASSERT_EQ(Make({"--serial", ahead}).status, 0);
    ASSERT_EQ(Make().status, 0);
    EXPECT_EQ(Serial(), std::to_string(std::stoull(ahead) + 1));
    const ToolRun older = Make({"--serial", ahead});
    EXPECT_EQ(older.status, 2);
    EXPECT_NE(older.err.find("replay"), std::string::npos) << older.err;
    EXPECT_EQ(Make({"--serial", Serial()}).status, 0) << "the same publication may be signed again";
    EXPECT_EQ(Make({"--serial", "01"}).status, 2);
}

TEST_F(PublishSign, NoSerialFarAheadOfTheClockIsWrittenOrPassesVerify)
{
    fs::create_directories(list.parent_path());
    ASSERT_EQ(Make().status, 0);
    const std::string xml = ReadFile(list);
    // Once a client took it, every real list below it would be refused.
    for (const std::string& serial : {std::string("9223372036854775807"), std::to_string(Now() + 2 * 86400)}) {
        const ToolRun run = Make({"--serial", serial});
        EXPECT_EQ(run.status, 2) << serial;
        EXPECT_NE(run.err.find("more than a day ahead of the clock"), std::string::npos) << run.err;
        EXPECT_EQ(ReadFile(list), xml) << "nothing written";
    }
    // A previous list that is itself far ahead gives no next serial either.
    const std::string far = std::to_string(Now() + 10 * 86400);
    WriteFile(list, xml.substr(0, xml.find("serial=\"") + 8) + far + xml.substr(xml.find('"', xml.find("serial=\"") + 8)));
    const ToolRun verified = RunTool({"verify", Utf8(list), "--dir", Utf8(release)});
    EXPECT_EQ(verified.status, 1);
    EXPECT_NE(verified.out.find("list: the serial " + far + " lies more than a day ahead"), std::string::npos)
        << verified.out;
    const ToolRun following = Make();
    EXPECT_EQ(following.status, 2);
    EXPECT_NE(following.err.find("it follows the previous list's serial"), std::string::npos) << following.err;
}

TEST_F(PublishSign, SigningNeedsTheUpdatersKeysAndAPrivateKeyOnlyItsOwnerOpens)
{
    fs::create_directories(list.parent_path());
    const ToolRun keyless = RunTool({"make", Utf8(release), "-o", Utf8(list), "--sign", Utf8(key)});
    EXPECT_EQ(keyless.status, 2);
    EXPECT_NE(keyless.err.find("--sign needs --public"), std::string::npos) << keyless.err;
    for (const fs::perms open : {fs::perms::group_read, fs::perms::others_read, fs::perms::group_write}) {
        fs::permissions(key, fs::perms::owner_read | fs::perms::owner_write | open);
        const ToolRun run = Make();
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find("chmod 600 \"" + Utf8(key) + "\""), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(list));
    }
    fs::permissions(key, fs::perms::owner_read);
    EXPECT_EQ(Make().status, 0);
    EXPECT_TRUE(fs::exists(list));
}

TEST_F(PublishSign, ExpiringListIsSignedWithItsExpiryAndVerifyWarnsAWeekBefore)
{
    fs::create_directories(list.parent_path());
    const std::uint64_t before = Now();
    ASSERT_EQ(Make({"--expires", "3"}).status, 0);
    const std::string xml = ReadFile(list);
    const auto at = xml.find("expires=\"") + 9;
    const std::uint64_t expires = std::stoull(xml.substr(at, xml.find('"', at) - at));
    EXPECT_GE(expires, before + 3 * 86400);
    EXPECT_LE(expires, Now() + 3 * 86400);
    EXPECT_EQ(Openssl("dgst -sha256 -verify " + Utf8(pub) + " -signature " + Utf8(list) + ".sig " + Utf8(list)), 0);
    const ToolRun soon = Verify();
    EXPECT_EQ(soon.status, 0);
    EXPECT_NE(soon.out.find("warning: list: the list expires in "), std::string::npos) << soon.out;
    EXPECT_NE(soon.out.find(" days; make and sign it again"), std::string::npos) << soon.out;

    ASSERT_EQ(Make({"--expires", "30"}).status, 0);
    EXPECT_EQ(Verify().out, "2 entries, no problems\n");
    // Expired: every client with keys refuses it.
    WriteFile(list, xml.substr(0, at) + "1000000000" + xml.substr(xml.find('"', at)));
    const ToolRun expired = RunTool({"verify", Utf8(list), "--dir", Utf8(release)});
    EXPECT_EQ(expired.status, 1);
    EXPECT_NE(expired.out.find("list: the list expired"), std::string::npos) << expired.out;

    for (const char* days : {"0", "3651", "-1", "1.5", ""}) EXPECT_EQ(Make({"--expires", days}).status, 2) << days;
    EXPECT_EQ(RunTool({"make", Utf8(release), "-o", Utf8(list), "--expires", "3"}).status, 2) << "only a signed list";
}

TEST_F(PublishSign, AgainstTheServerMakeNeverGoesBelowTheServedSerialAndVerifyChecksWhatIsServed)
{
    using tallowfin::test::Fault;
    using tallowfin::test::HttpServer;
    // The release uploaded, and its list made there.
    fs::create_directories(list.parent_path());
    fs::copy(release, list.parent_path(), fs::copy_options::recursive);
    HttpServer server(list.parent_path());
    const std::string base = server.ProxyAddress() + "/";
    const std::string served = std::to_string(Now() + 3600);
    ASSERT_EQ(Make({"--serial", served}).status, 0);
    const fs::path older = temp / "older" / "filelist.xml";
    fs::create_directories(older.parent_path());
    fs::copy_file(list, older);
    fs::copy_file(list.string() + ".sig", older.string() + ".sig");
    // What a release is built with as the lowest serial it takes.
    EXPECT_EQ(RunTool({"serial", base}).out, served + "\n");

    // A workspace that kept no list: the served one's serial counts.
    const fs::path clean = temp / "clean" / "filelist.xml";
    fs::create_directories(clean.parent_path());
    auto makeClean = [&](std::vector<std::string> more, const fs::path& output) {
        std::vector<std::string> arguments = {"make", Utf8(release), "-o", Utf8(output), "--sign", Utf8(key),
                                              "--public", Utf8(pub), "--url", base};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return RunTool(arguments);
    };
    const ToolRun below = makeClean({"--serial", std::to_string(Now())}, clean);
    EXPECT_EQ(below.status, 2);
    EXPECT_NE(below.err.find("is below the served list's (" + served + ")"), std::string::npos) << below.err;
    EXPECT_FALSE(fs::exists(clean));
    const ToolRun following = makeClean({}, clean);
    ASSERT_EQ(following.status, 0) << following.err;
    EXPECT_NE(following.out.find("has the serial " + served), std::string::npos) << following.out;
    EXPECT_NE(ReadFile(clean).find("serial=\"" + std::to_string(std::stoull(served) + 1) + "\""), std::string::npos);
    // Where the served serial cannot be told, nothing is published; where
    // no list is served yet, the publication is the first.
    Fault broken;
    broken.status = 500;
    server.SetFault("/filelist.xml", broken);
    const ToolRun unknown = makeClean({}, clean);
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("the served list's serial cannot be read"), std::string::npos) << unknown.err;
    broken.status = 404;
    server.SetFault("/filelist.xml", broken);
    const fs::path firstList = temp / "first" / "filelist.xml";
    fs::create_directories(firstList.parent_path());
    const ToolRun first = makeClean({"--serial", "7"}, firstList);
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.out.find("no list is served"), std::string::npos) << first.out;
    EXPECT_EQ(RunTool({"serial", base}).out, "0\n");
    server.ClearFaults();

    // verify --url checks the list and signature the server serves: the newer
    // publication made in the clean workspace, uploaded with a stale signature.
    ASSERT_EQ(makeClean({}, clean).status, 0);
    fs::copy_file(clean, list, fs::copy_options::overwrite_existing);
    const ToolRun stale = RunTool({"verify", Utf8(clean), "--url", base, "--key", Utf8(pub)});
    EXPECT_EQ(stale.status, 1);
    EXPECT_NE(stale.out.find("the signature served at " + base + "filelist.xml.sig does not verify"), std::string::npos)
        << stale.out;
    fs::copy_file(clean.string() + ".sig", list.string() + ".sig", fs::copy_options::overwrite_existing);
    EXPECT_EQ(RunTool({"verify", Utf8(clean), "--url", base, "--key", Utf8(pub)}).out, "2 entries, no problems\n");
    // A list below the served one: every client that took that refuses it.
    const ToolRun replay = RunTool({"verify", Utf8(older), "--url", base, "--key", Utf8(pub)});
    EXPECT_EQ(replay.status, 1);
    EXPECT_NE(replay.out.find("has the serial " + SerialOf(clean) + ", above this list's " + served),
              std::string::npos)
        << replay.out;
    EXPECT_NE(replay.out.find("filelist.xml is not this file"), std::string::npos) << replay.out;
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
