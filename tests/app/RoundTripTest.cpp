// A vault made, saved, reopened and changed through the real window on an X
// server keeps every record and every blob byte for byte.
#include "FormTestSupport.h"

#include "platform/Paths.h"
#include "platform/Stream.h"

#include <QAction>
#include <QFile>
#include <QDialog>
#include <QLineEdit>
#include <QGuiApplication>
#include <random>

namespace {

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(rng() % 7 == 0 ? rng() : b); // partly compressible
    return bytes;
}

struct Snapshot {
    std::string key;
    int dimX, dimY;
    std::vector<uint8_t> content;
    bool operator==(const Snapshot&) const = default;
};

std::vector<Snapshot> Contents()
{
    std::vector<Snapshot> out;
    TVaultTable& cds = DMMain->CDS;
    for (cds.First(); !cds.Eof(); cds.Next()) {
        auto stream = DMMain->CreateImageStream();
        out.push_back({DMMain->CDSFileName.AsString() + "/" + DMMain->CDSImageType.AsString(), DMMain->CDSDimX.AsInteger(),
                       DMMain->CDSDimY.AsInteger(), stream->Bytes()});
    }
    return out;
}

class RoundTrip : public FormFixture {};

} // namespace

TEST_F(RoundTrip, VaultSurvivesSaveReopenAndChange)
{
    if (QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "needs an X server (run under xvfb-run)";
    Start();
    ASSERT_TRUE(form->isVisible());

    const std::vector<std::pair<std::string, std::string>> records = {
        {"Sunset", "J"}, {"sunset", "J"}, {"Sunset", "G"}, {"Ünïcödé 日本", "B"}, {"Empty", "I"}, {"Big", "E"}};
    for (size_t i = 0; i < records.size(); ++i) {
        const std::string src = Path("src" + std::to_string(i));
        TMemoryStream(RandomBytes(records[i].first == "Empty" ? 0 : (i == 5 ? 3000000 : 1000 * (i + 1)), static_cast<unsigned>(i)))
            .SaveToFile(src);
        DMMain->CDS.Append();
        DMMain->CDSFileName.SetAsString(records[i].first);
        DMMain->CDSDimX.SetAsInteger(static_cast<int64_t>(10 + i));
        DMMain->CDSDimY.SetAsInteger(static_cast<int64_t>(20 + i));
        DMMain->LoadImageFromFile(src);
        DMMain->CDSImageType.SetAsString(records[i].second);
        DMMain->CDS.Post();
    }
    form->Modified = true;
    DMMain->SetPassword("", "door");
    const std::vector<Snapshot> made = Contents();
    ASSERT_EQ(made.size(), records.size() + 1);

    const std::string vault = Path("round.gmb");
    prompts->AnswerFile(vault);
    form->ActFileSaveAs->trigger();
    ASSERT_EQ(form->CurrentFileName, vault);
    form->ActFileNew->trigger();
    ProcessEvents();

    prompts->AnswerFile(vault);
    prompts->AnswerDialog([](QDialog& d) {
        d.findChild<QLineEdit*>("edPassword")->setText("door");
        d.accept();
        return d.result();
    });
    form->ActFileOpen->trigger();
    ProcessEvents();
    ASSERT_EQ(form->CurrentFileName, vault);
    EXPECT_EQ(Contents(), made);
    EXPECT_EQ(form->windowTitle().toStdString(), "Kv Glimmerbox 3.2 - round.gmb");

    // Change it and leave through the window's close box: written back.
    DMMain->RenameImage("sunset", "G", "Dawn");
    form->Modified = true;
    const std::vector<Snapshot> changed = Contents();
    ASSERT_TRUE(Close());
    Start();
    prompts->AnswerDialog([](QDialog& d) {
        d.findChild<QLineEdit*>("edPassword")->setText("door");
        d.accept();
        return d.result();
    });
    form->OpenFile(vault);
    EXPECT_EQ(Contents(), changed);
    EXPECT_EQ(prompts->PendingAnswers(), 0u);
}
