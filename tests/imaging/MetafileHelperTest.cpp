// Metafiles are played in a helper process: whatever the players do with a
// hostile file (crash, abort, run out of memory), the program gets
// "Metafile is not valid" and lives on; a hang ends at its time limit and
// says so.
#include "imaging/Loaders.h"
#include "imaging/LoadersMetafile.h"
#include "imaging/MetafileHelper.h"
#include "platform/Exception.h"
#include "platform/Stream.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>

namespace {

const std::string kData = GMB_TEST_DATA;

std::string Outcome(const std::vector<uint8_t>& bytes)
{
    try {
        TMemoryStream stream(bytes);
        TBitmap bitmap;
        LoadMetafileFromStream(stream, bitmap);
        return "loaded";
    } catch (const Exception& e) {
        return e.what();
    }
}

// Restores the default playback when a test ends.
struct Playback {
    explicit Playback(MetafilePlayback p) { SetMetafilePlayback(p); }
    ~Playback() { SetMetafilePlayback(MetafilePlayback::Helper); }
};

MetafileHelperRun Fake(const std::string& mode)
{
    MetafileHelperRun run;
    run.path = GMB_FAKE_METAFILE_HELPER;
    run.arguments = {mode};
    return run;
}

bool RunFake(const MetafileHelperRun& run, std::vector<uint8_t>* payload = nullptr)
{
    MetafileReply reply;
    std::vector<uint8_t> got;
    const bool ok = RunMetafileHelper(run, MetafileOp::PlayEnhanced, std::vector<uint8_t>(5000, 7), 4, 3, reply, got);
    if (payload)
        *payload = got;
    return ok && reply.ok;
}

} // namespace

TEST(MetafileHelper, IsFoundBesideTheBuild)
{
    const std::string path = MetafileHelperPath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(std::filesystem::path(path).filename(), "glimmerbox-metafile");
    EXPECT_EQ(access(path.c_str(), X_OK), 0);
}

TEST(MetafileHelper, DrawsWhatThePlayersDrawInProcess)
{
    for (const char* file : {"emf/test-048.emf", "wmf/2doorvan.wmf", "wmf/text.wmf"}) {
        const std::vector<uint8_t> bytes = ReadWholeFile(kData + "/" + file);
        const bool enhanced = file[0] == 'e';
        const QImage viaHelper = PlayMetafile(enhanced, bytes, 300, 200);
        Playback inProcess(MetafilePlayback::InProcess);
        const QImage here = PlayMetafile(enhanced, bytes, 300, 200);
        ASSERT_FALSE(here.isNull()) << file;
        EXPECT_EQ(viaHelper, here) << file;
    }
}

TEST(MetafileHelper, ItsCrashHangOrBadAnswerIsAFailure)
{
    std::vector<uint8_t> payload;
    ASSERT_TRUE(RunFake(Fake("answer"), &payload));
    EXPECT_EQ(payload.size(), 48u);
    EXPECT_FALSE(RunFake(Fake("crash")));
    EXPECT_FALSE(RunFake(Fake("short")));
    EXPECT_FALSE(RunFake(Fake("fail-after-answer")));
    MetafileHelperRun missing;
    missing.path = "/nonexistent/glimmerbox-metafile";
    EXPECT_THROW(RunFake(missing), Exception);

    // A hang ends at the time-out, on the run's own clock, and says so.
    MetafileHelperRun hang = Fake("hang");
    int64_t clock = 0;
    hang.timeoutMs = 30000;
    hang.nowMs = [&clock] { return clock += 10000; };
    try {
        RunFake(hang);
        ADD_FAILURE() << "a hang was taken for an answer";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), kMetafileTooSlow);
    }
    EXPECT_LE(clock, 70000);
    // So does a helper its processor-time limit ended.
    try {
        RunFake(Fake("out-of-cpu"));
        ADD_FAILURE() << "a helper out of processor time was taken for an answer";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), kMetafileTooSlow);
    }
}

TEST(MetafileHelper, RunsUnderAMemoryLimit)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "The sanitizer's shadow memory rules out an address-space limit";
#else
    EXPECT_FALSE(RunFake(Fake("huge")));
#endif
}

TEST(MetafileHelper, CraftedFilesThatTripTheLibrariesGiveTheMessage)
{
    // Font heights at the ends of their range: libemf2svg writes them as
    // font sizes that abort librsvg's text layout. A WMF header claiming a
    // 4 GB record: libwmf would allocate that much.
    for (MetafilePlayback p : {MetafilePlayback::Helper, MetafilePlayback::InProcess}) {
        Playback playback(p);
        for (const char* file : {"font-height-max.emf", "font-height-min.emf", "max-record-huge.wmf"})
            EXPECT_EQ(Outcome(ReadWholeFile(kData + "/metafile-crafted/" + file)), "Metafile is not valid") << file;
    }
}

TEST(MetafileHelper, WmfHeaderMustFitTheFile)
{
    for (const auto& entry : std::filesystem::directory_iterator(kData + "/wmf")) {
        if (entry.path().extension() == ".wmf" && Outcome(ReadWholeFile(entry.path().string())) == "loaded") {
            EXPECT_TRUE(WmfHeaderFitsFile(ReadWholeFile(entry.path().string()))) << entry.path();
        }
    }
    std::vector<uint8_t> text = ReadWholeFile(kData + "/wmf/text.wmf");
    ASSERT_TRUE(WmfHeaderFitsFile(text));
    const uint32_t justFits = uint32_t((text.size() - 18) / 2);
    std::memcpy(&text[12], &justFits, 4);
    EXPECT_TRUE(WmfHeaderFitsFile(text));
    const uint32_t tooBig = justFits + 1;
    std::memcpy(&text[12], &tooBig, 4);
    EXPECT_FALSE(WmfHeaderFitsFile(text));
    EXPECT_FALSE(WmfHeaderFitsFile(ReadWholeFile(kData + "/metafile-crafted/max-record-huge.wmf")));
    EXPECT_FALSE(WmfHeaderFitsFile({}));
}

TEST(MetafileHelper, SvgFontSizesAreCheckedBeforeLayout)
{
    const auto sane = [](const std::string& svg) { return SvgTextSizesAreSane(svg.data(), svg.size()); };
    EXPECT_TRUE(sane(R"(<text font-size="12.5000">font-size</text>)"));
    EXPECT_TRUE(sane(R"(<g style="font-size:9px">)"));
    EXPECT_FALSE(sane(R"(<text font-size="1.5e9">a</text>)"));
    EXPECT_FALSE(sane(R"(<text font-size="-2147483648.0000">a</text>)"));
    EXPECT_FALSE(sane(R"(<text font-size="nan">a</text>)"));
    EXPECT_FALSE(sane(R"(<g style="font-size:inf">)"));
}
