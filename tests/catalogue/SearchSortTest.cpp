// The search field and the list's orders: what is shown, what the commands
// act on, and the order against the records' own fields.
#include "FormTestSupport.h"
#include "platform/Stream.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <algorithm>
#include <tuple>

namespace {


class SearchFixture : public FiveRecordsFixture {
protected:
    void Search(const std::string& text)
    {
        form->EdtSearch->setText(QString::fromStdString(text));
        ProcessEvents();
    }

    // The names of the items shown, in list order.
    std::vector<std::string> Shown() const
    {
        std::vector<std::string> out;
        for (int row : form->ShownRows()) {
            std::string name, kind;
            form->SplitItemCaption(row, name, kind);
            out.push_back(name);
        }
        return out;
    }

    std::vector<std::string> Records() const { return AllRecords(); }

    const MessageRequest& LastMessage() const { return prompts->Records().back().message; }
    std::string Panel0() const { return form->StatusPanel0->text().toStdString(); }
};

using Names = std::vector<std::string>;

} // namespace

TEST_F(SearchFixture, SearchHidesOnTopOfTheKindFilterAndTheCountsFollow)
{
    Fill();
    const int items = form->ListView1->count();
    Search("SUN");
    EXPECT_EQ(Shown(), (Names{"SUNDAY", "Sunset", "sunrise"})) << "letter case ignored, key order kept";
    EXPECT_EQ(form->ListView1->count(), items) << "hidden, not refilled";
    EXPECT_EQ(Panel0(), "3 items");

    form->ActFilterJPEG->trigger();
    EXPECT_EQ(Shown(), Names{"Sunset"}) << "the search stays over a refill";
    EXPECT_EQ(Panel0(), "1 items");
    form->ActFilterNoFilter->trigger();
    Search("set");
    EXPECT_EQ(Shown(), Names{"Sunset"});
    Search("nothing like it");
    EXPECT_TRUE(Shown().empty());
    EXPECT_EQ(Panel0(), "0 items");
    EXPECT_FALSE(form->ActImageSelectAll->isEnabled());
    EXPECT_FALSE(form->ActToolsEmpty->isEnabled());

    // Ctrl+F goes to the field, Escape there empties it.
    EXPECT_EQ(form->ActViewSearch->shortcut(), QKeySequence(QKeySequence::Find));
    EXPECT_EQ(form->ActViewSearchClear->shortcut(), QKeySequence(Qt::Key_Escape));
    EXPECT_EQ(form->ActViewSearchClear->shortcutContext(), Qt::WidgetShortcut);
    form->ActViewSearchClear->trigger();
    ProcessEvents();
    EXPECT_TRUE(form->EdtSearch->text().isEmpty());
    EXPECT_EQ(Shown().size(), 5u);
    EXPECT_EQ(Panel0(), "5 items");
}

TEST_F(SearchFixture, SelectionCommandsAndDeleteSeeOnlyWhatIsShown)
{
    Fill();
    SelectRows({2}); // moon (after SUNDAY and Sunset), which the search will hide
    ASSERT_EQ(form->SelectedRows(), std::vector<int>{2});
    ASSERT_EQ(Shown()[2], "moon");
    Search("sun");
    EXPECT_TRUE(form->SelectedRows().empty()) << "a hidden item leaves the selection";
    form->ActImageSelectAll->trigger();
    EXPECT_EQ(Panel0(), "1: 3: 3");
    form->ActImageInvertSelection->trigger();
    EXPECT_EQ(Panel0(), "3 items");
    EXPECT_TRUE(form->ListView1->selectedItems().isEmpty()) << "inverting never selects a hidden item";
    form->ActImageInvertSelection->trigger();
    EXPECT_EQ(Panel0(), "1: 3: 3");

    prompts->AnswerMessage(MsgButton::Yes);
    form->ActImageDelete->trigger();
    EXPECT_EQ(LastMessage().text, "Are you sure to delete 3 items?");
    EXPECT_EQ(Records(), (Names{"moon/J", "stars/G"}));
    form->ActViewSearchClear->trigger();
    EXPECT_EQ(Shown(), (Names{"moon", "stars"}));
}

// With a search on, Empty deletes the records shown and keeps the rest,
// the password record among them; the question names how many go.
TEST_F(SearchFixture, EmptyUnderASearchDeletesOnlyTheShownRecords)
{
    Fill();
    DMMain->SetPassword("", "keep");
    Search("s");
    form->ActFilterJPEG->trigger();
    ASSERT_EQ(Shown(), Names{"Sunset"});

    prompts->AnswerMessage(MsgButton::No);
    form->ActToolsEmpty->trigger();
    EXPECT_EQ(LastMessage().title, "Warning");
    EXPECT_EQ(LastMessage().text,
              "You are about to delete the 1 images shown.\rImages the search hides are kept.\r\rContinue deleting?");
    EXPECT_EQ(LastMessage().defaultButton, MsgButton::No);
    EXPECT_EQ(Records().size(), 6u) << "No deletes nothing";

    form->ActFilterNoFilter->trigger();
    Search("su");
    prompts->AnswerMessage(MsgButton::Yes);
    form->ActToolsEmpty->trigger();
    EXPECT_EQ(LastMessage().text,
              "You are about to delete the 3 images shown.\rImages the search hides are kept.\r\rContinue deleting?");
    EXPECT_TRUE(form->Modified);
    EXPECT_TRUE(DMMain->LocatePassword());
    Search("");
    EXPECT_EQ(Shown(), (Names{"moon", "stars"}));

    // Without a search, Empty is as it always was.
    prompts->AnswerMessage(MsgButton::No);
    form->ActToolsEmpty->trigger();
    EXPECT_EQ(LastMessage().text,
              "You are about to delete all images.\rAll images will be lost with filtered affected.\r\rContinue deleting?");
}

// Every order is checked against the records' fields as the store holds them.
TEST_F(SearchFixture, OrdersFollowTheRecordsFieldsBothWays)
{
    Fill();
    Put("twin", "J", kGray, 128, 128); // moon's twin: equal size and pixels
    form->RefreshList();

    struct Rec {
        std::string name;
        std::string kind;
        int64_t size;
        int64_t pixels;
    };
    std::vector<Rec> recs; // in key order
    for (DMMain->CDS.First(); !DMMain->CDS.Eof(); DMMain->CDS.Next())
        recs.push_back({DMMain->CDSFileName.AsString(), DMMain->CDSImageType.AsString(), DMMain->CDSImage.BlobSize(),
                        int64_t{DMMain->CDSDimX.AsInteger()} * DMMain->CDSDimY.AsInteger()});
    const auto expect = [&](auto key, bool descending) {
        std::vector<Rec> sorted = recs;
        std::stable_sort(sorted.begin(), sorted.end(), [&](const Rec& a, const Rec& b) { return descending ? key(b) < key(a) : key(a) < key(b); });
        Names out;
        for (const Rec& r : sorted)
            out.push_back(r.name);
        return out;
    };
    Names keyOrder;
    for (const Rec& r : recs)
        keyOrder.push_back(r.name);

    const QListWidgetItem* first = form->ListView1->item(0);
    const int made = form->ThumbnailsMade;
    for (bool descending : {false, true}) {
        form->ActViewSortDescending->setChecked(descending);
        form->ActViewSortBySize->trigger();
        EXPECT_EQ(Shown(), expect([](const Rec& r) { return r.size; }, descending)) << descending;
        form->ActViewSortByPixels->trigger();
        EXPECT_EQ(Shown(), expect([](const Rec& r) { return r.pixels; }, descending)) << descending;
        form->ActViewSortByKind->trigger();
        EXPECT_EQ(Shown(), expect([](const Rec& r) { return r.kind; }, descending)) << descending;
    }
    form->ActViewSortByName->trigger();
    Names reversed(keyOrder.rbegin(), keyOrder.rend());
    EXPECT_EQ(Shown(), reversed);
    form->ActViewSortDescending->trigger();
    EXPECT_EQ(Shown(), keyOrder);
    EXPECT_EQ(form->ThumbnailsMade, made) << "sorting makes no thumbnail";
    EXPECT_EQ(form->ListView1->item(0), first) << "the same items, not a refill";

    // A search over a sorted list keeps the order.
    form->ActViewSortByPixels->trigger();
    Search("s");
    EXPECT_EQ(Shown(), (Names{"stars", "SUNDAY", "sunrise", "Sunset"}));
    // And a refill comes back in the checked order.
    form->RefreshList();
    EXPECT_EQ(Shown(), (Names{"stars", "SUNDAY", "sunrise", "Sunset"}));
}

TEST_F(SearchFixture, TheOrderIsRememberedAcrossARestart)
{
    form->ActViewSortDescending->trigger();
    form->ActViewSortBySize->trigger();
    EXPECT_EQ(Ini().ReadInteger(kWindow, "SortBy", -1), 2);
    EXPECT_EQ(Ini().ReadString(kWindow, "SortDesc", "?"), "1");
    ASSERT_NO_FATAL_FAILURE(Restart());
    EXPECT_TRUE(form->ActViewSortBySize->isChecked());
    EXPECT_TRUE(form->ActViewSortDescending->isChecked());
    Put("small", "G", kGif, 4, 4);
    Put("big", "J", kJpeg, 227, 149);
    form->RefreshList();
    EXPECT_EQ(Shown(), (Names{"big", "small"}));

    // A hand-edited value out of range is the default order.
    Ini().WriteInteger(kWindow, "SortBy", 9);
    ASSERT_NO_FATAL_FAILURE(Restart());
    EXPECT_TRUE(form->ActViewSortByName->isChecked());
}

// Hundreds of items changing at once take another way through the view;
// the selection of the items still shown must survive it, both ways.
TEST_F(SearchFixture, ManyItemsChangingAtOnceKeepTheShownSelection)
{
    const std::vector<uint8_t> gif = ReadWholeFile(kGif);
    for (int i = 0; i < 600; ++i)
        AppendImageRecord(*DMMain, Format("n%03d", i), 4, 4, "G", gif);
    form->RefreshList();
    SelectRows({2, 150});
    form->ListView1->setCurrentRow(150, QItemSelectionModel::NoUpdate);
    Search("N1");
    ASSERT_EQ(form->ShownCount(), 100);
    EXPECT_EQ(form->SelectedRows(), std::vector<int>{150});
    EXPECT_EQ(form->ListView1->currentRow(), 150);
    EXPECT_EQ(Panel0(), "51: 100: 1");
    EXPECT_TRUE(form->ListView1->isRowHidden(2));
    EXPECT_FALSE(form->ListView1->isRowHidden(150));

    Search("");
    EXPECT_EQ(form->ShownCount(), 600);
    EXPECT_EQ(form->SelectedRows(), std::vector<int>{150});
    EXPECT_EQ(Panel0(), "151: 600: 1");
    EXPECT_FALSE(form->ListView1->isRowHidden(2));
}
