// The vault table in memory: key order, cursor, filter, locate, post checks.
#include "StoreTestSupport.h"

#include "store/VaultFilter.h"

using namespace storetest;

namespace {

class TableTest : public ::testing::Test {
protected:
    void SetUp() override { t.CreateDataSet(); }
    TVaultTable t{"CDS"};
};

TEST_F(TableTest, WalksInExactKeyOrderWhateverTheInsertOrder)
{
    // Byte (code point) order, letter case significant: upper case first,
    // then lower case, then non-ASCII; same name ordered by kind letter.
    for (const char* n : {"b", "ä", "a", "B", "Sunset"})
        AddRecord(t, n, "B");
    AddRecord(t, "Sunset", "G");
    AddRecord(t, "Sunset", "J");
    EXPECT_EQ(Walk(t), (std::vector<std::string>{"B/B", "Sunset/B", "Sunset/G", "Sunset/J", "a/B", "b/B", "ä/B"}));
    EXPECT_EQ(t.RecordCount(), 7);
}

TEST_F(TableTest, EofAndBofFollowTheCursor)
{
    t.First();
    EXPECT_TRUE(t.Eof());
    EXPECT_TRUE(t.Bof());
    EXPECT_FALSE(t.HasCurrentRecord());
    EXPECT_TRUE(t.FieldFileName().IsNull());

    AddRecord(t, "a", "B");
    AddRecord(t, "b", "B");
    t.First();
    EXPECT_TRUE(t.Bof());
    EXPECT_FALSE(t.Eof());
    t.Next();
    EXPECT_FALSE(t.Bof());
    EXPECT_FALSE(t.Eof());
    EXPECT_EQ(t.FieldFileName().AsString(), "b");
    t.Next();
    EXPECT_TRUE(t.Eof());
    EXPECT_EQ(t.FieldFileName().AsString(), "b"); // stays on the last record
    t.Prior();
    EXPECT_EQ(t.FieldFileName().AsString(), "a");
    t.Prior();
    EXPECT_TRUE(t.Bof());
    t.Last();
    EXPECT_EQ(t.FieldFileName().AsString(), "b");
}

TEST_F(TableTest, DeleteMakesTheFollowingRecordCurrent)
{
    for (const char* n : {"a", "b", "c"})
        AddRecord(t, n, "B");
    ASSERT_TRUE(t.Locate("FileName", {std::string("b")}, false));
    t.Delete();
    EXPECT_EQ(t.FieldFileName().AsString(), "c");
    EXPECT_FALSE(t.Eof());
    t.Delete(); // the last one: the record before it becomes current, at the end
    EXPECT_EQ(t.FieldFileName().AsString(), "a");
    EXPECT_TRUE(t.Eof());
    t.Delete();
    EXPECT_FALSE(t.HasCurrentRecord());
    EXPECT_TRUE(t.Eof() && t.Bof());
    EXPECT_EQ(t.RecordCount(), 0);
    EXPECT_NE(MessageOf([&] { t.Delete(); }), "");
}

TEST_F(TableTest, EmptyingUnderAFilterDeletesOnlyWhatItLetsThrough)
{
    for (const char* n : {"a", "b", "c", "d"})
        AddRecord(t, n, "G");
    AddRecord(t, "b", "J");
    AddRecord(t, "z", "J");
    t.SetFilter(" ImageType='G' ");
    t.SetFiltered(true);
    for (t.First(); !t.Eof();)
        t.Delete();
    EXPECT_EQ(t.RecordCount(), 0);
    t.SetFiltered(false);
    EXPECT_EQ(Walk(t), (std::vector<std::string>{"b/J", "z/J"}));
}

TEST_F(TableTest, PostRefusesMissingValuesAndKeepsTheRecordInInsertState)
{
    t.Append();
    t.FieldFileName().SetAsString("x");
    t.FieldDimX().SetAsInteger(1);
    t.FieldImage().SetBytes({});
    t.FieldImageType().SetAsString("B");
    EXPECT_EQ(MessageOf([&] { t.Post(); }), "Field 'DimY' must have a value");
    EXPECT_EQ(t.State(), TDataSetState::Insert);
    t.FieldDimY().SetAsInteger(0);
    t.Post(); // an empty blob is a value
    EXPECT_EQ(t.State(), TDataSetState::Browse);

    t.Edit();
    t.FieldFileName().SetAsString(""); // empty text is no value
    EXPECT_EQ(MessageOf([&] { t.Post(); }), "Field 'FileName' must have a value");
    EXPECT_EQ(t.State(), TDataSetState::Edit);
    t.Cancel();
    EXPECT_EQ(t.FieldFileName().AsString(), "x");
}

TEST_F(TableTest, KeyViolationOnlyForTheExactPair)
{
    AddRecord(t, "Photo", "B");
    AddRecord(t, "Photo", "J");
    AddRecord(t, "photo", "B"); // other letter case: another key
    t.Append();
    t.FieldFileName().SetAsString("Photo");
    t.FieldDimX().SetAsInteger(1);
    t.FieldDimY().SetAsInteger(1);
    t.FieldImage().SetBytes({9});
    t.FieldImageType().SetAsString("B");
    const std::string message = MessageOf([&] { t.Post(); });
    EXPECT_EQ(message.rfind("Key violation", 0), 0u) << message;
    EXPECT_EQ(t.State(), TDataSetState::Insert);
    t.Cancel();
    EXPECT_EQ(t.RecordCount(), 3);
}

TEST_F(TableTest, NamesAreCutAt255BytesOnACharacterBoundary)
{
    t.Append();
    t.FieldFileName().SetAsString(std::string(300, 'n'));
    EXPECT_EQ(t.FieldFileName().AsString(), std::string(255, 'n'));
    std::string cyrillic;
    for (int i = 0; i < 127; ++i)
        cyrillic += "ж"; // two bytes each: 254
    t.FieldFileName().SetAsString(cyrillic + "ж");
    EXPECT_EQ(t.FieldFileName().AsString(), cyrillic);
    t.FieldFileName().SetAsString(std::string(252, 'a') + "😀");
    EXPECT_EQ(t.FieldFileName().AsString(), std::string(252, 'a'));
    t.FieldFileName().SetAsString(std::string(251, 'a') + "😀");
    EXPECT_EQ(t.FieldFileName().AsString(), std::string(251, 'a') + "😀");
    t.FieldImageType().SetAsString("JPEG");
    EXPECT_EQ(t.FieldImageType().AsString(), "J");
    t.FieldImageType().SetAsString("é!");
    EXPECT_EQ(t.FieldImageType().AsString(), "é");
}

TEST_F(TableTest, SixteenBitFieldsRefuseOutOfRangeValues)
{
    t.Append();
    EXPECT_EQ(MessageOf([&] { t.FieldDimX().SetAsInteger(40000); }),
              "40000 is not a valid value for field 'DimX'. The allowed range is -32768 to 32767");
    EXPECT_EQ(MessageOf([&] { t.FieldDimY().SetAsInteger(-32769); }),
              "-32769 is not a valid value for field 'DimY'. The allowed range is -32768 to 32767");
    EXPECT_TRUE(t.FieldDimX().IsNull());
    t.FieldDimX().SetAsInteger(-32768);
    t.FieldDimY().SetAsInteger(32767);
    EXPECT_EQ(t.FieldDimX().AsInteger(), -32768);
    EXPECT_EQ(t.FieldDimY().AsInteger(), 32767);
}

TEST_F(TableTest, FieldsCannotBeAssignedInBrowseState)
{
    AddRecord(t, "a", "B");
    EXPECT_NE(MessageOf([&] { t.FieldFileName().SetAsString("b"); }), "");
    EXPECT_EQ(t.FieldFileName().AsString(), "a");
}

TEST_F(TableTest, FilterCountsAndWalksOnlyItsKind)
{
    AddRecord(t, "a", "B");
    AddRecord(t, "b", "J");
    AddRecord(t, "c", "J");
    AddRecord(t, "dcb", "\\", 0, 0);
    t.SetFilter(" ImageType='J' ");
    EXPECT_EQ(t.RecordCount(), 4); // not switched on yet
    t.SetFiltered(true);
    EXPECT_EQ(t.RecordCount(), 2);
    EXPECT_EQ(Walk(t), (std::vector<std::string>{"b/J", "c/J"}));
    t.SetFilter(" ImageType = 'B' "); // the statistic's spelling
    EXPECT_EQ(t.RecordCount(), 1);
    t.SetFilter(" ImageType='G' ");
    EXPECT_EQ(t.RecordCount(), 0);
    t.First();
    EXPECT_TRUE(t.Eof() && t.Bof());
    t.SetFilter("");
    EXPECT_EQ(t.RecordCount(), 4); // a blank expression lets everything through
    t.SetFilter("ImageType='B' or ImageType='J'");
    EXPECT_EQ(t.RecordCount(), 3);
    t.SetFiltered(false);
    EXPECT_EQ(t.RecordCount(), 4);
}

TEST_F(TableTest, LocateSeesRecordsTheFilterHides)
{
    AddRecord(t, "a", "J");
    AddRecord(t, "b", "G");
    AddRecord(t, "c", "J");
    AddRecord(t, "dcb", "\\", 0, 0);
    AddRecord(t, "e", "J");
    t.SetFilter(" ImageType='J' ");
    t.SetFiltered(true);

    ASSERT_TRUE(t.Locate("DimX;DimY;ImageType", {int64_t{0}, int64_t{0}, std::string("\\")}, false));
    EXPECT_EQ(t.FieldFileName().AsString(), "dcb");
    t.Next(); // on from the hidden record to the next one the filter lets through
    EXPECT_EQ(t.FieldFileName().AsString(), "e");

    ASSERT_TRUE(t.Locate("FileName;ImageType", {std::string("b"), std::string("G")}, false));
    t.Edit(); // a hidden record can be edited and deleted where it stands
    t.FieldDimX().SetAsInteger(7);
    t.Post();
    t.Delete();
    EXPECT_EQ(t.FieldFileName().AsString(), "c");
    t.SetFiltered(false);
    EXPECT_EQ(t.RecordCount(), 4);
}

TEST_F(TableTest, LocateIgnoresLetterCaseAcrossUnicodeOnlyWhenAsked)
{
    AddRecord(t, "Photo", "B");
    AddRecord(t, "äpfel", "J");
    AddRecord(t, "Ωmega", "G");
    AddRecord(t, "zzz", "B");
    t.First();
    EXPECT_FALSE(t.Locate("FileName;ImageType", {std::string("photo"), std::string("b")}, false));
    EXPECT_EQ(t.FieldFileName().AsString(), "Photo"); // unchanged
    t.Last();
    EXPECT_TRUE(t.Locate("FileName;ImageType", {std::string("photo"), std::string("b")}, true));
    EXPECT_EQ(t.FieldFileName().AsString(), "Photo");
    EXPECT_TRUE(t.Locate("FileName;ImageType", {std::string("ÄPFEL"), std::string("j")}, true));
    EXPECT_EQ(t.FieldFileName().AsString(), "äpfel");
    EXPECT_TRUE(t.Locate("filename", {std::string("ωMEGA")}, true));
    EXPECT_EQ(t.FieldImageType().AsString(), "G");
    EXPECT_FALSE(t.Locate("FileName;ImageType", {std::string("photo"), std::string("J")}, true));
    EXPECT_EQ(t.FieldImageType().AsString(), "G");
    EXPECT_NE(MessageOf([&] { t.Locate("FileName;Nope", {std::string("a"), std::string("b")}, true); }), "");
    EXPECT_NE(MessageOf([&] { t.Locate("FileName", {std::string("a"), std::string("b")}, true); }), "");
}

TEST_F(TableTest, MovingPostsAPendingEdit)
{
    AddRecord(t, "a", "B");
    AddRecord(t, "b", "B");
    t.First();
    t.Edit();
    t.FieldDimX().SetAsInteger(99);
    t.Next();
    EXPECT_EQ(t.State(), TDataSetState::Browse);
    t.First();
    EXPECT_EQ(t.FieldDimX().AsInteger(), 99);
}

TEST_F(TableTest, BadFilterExpressionsRaiseAndKeepTheOldFilter)
{
    AddRecord(t, "a", "B");
    AddRecord(t, "b", "J");
    t.SetFilter(" ImageType='J' ");
    t.SetFiltered(true);
    for (const char* bad : {"ImageType=", "Colour='B'", "ImageType='B", "ImageType 'B'", "ImageType='B' xyz",
                            "ImageType='B' and", "(ImageType='B'", "ImageType=='B'", "DimX=99999999999999999999"}) {
        const std::string message = MessageOf([&] { t.SetFilter(bad); });
        EXPECT_NE(message.find("is not valid"), std::string::npos) << bad << ": " << message;
    }
    EXPECT_EQ(t.Filter(), " ImageType='J' ");
    EXPECT_EQ(t.RecordCount(), 1);
    std::string deep(100000, '(');
    EXPECT_NE(MessageOf([&] { t.SetFilter(deep); }), "");
}

TEST(FilterTest, TranslatesToBoundParameters)
{
    auto c = CompileFilter(" ImageType='B' ");
    EXPECT_EQ(c.sql, "(ImageType = ?)");
    ASSERT_EQ(c.params.size(), 1u);
    EXPECT_EQ(std::get<std::string>(c.params[0]), "B");

    c = CompileFilter("imagetype = 'it''s' OR NOT (DimX <> -5 AND DimY>=3)");
    EXPECT_EQ(c.sql, "(ImageType = ? OR NOT (DimX <> ? AND DimY >= ?))");
    ASSERT_EQ(c.params.size(), 3u);
    EXPECT_EQ(std::get<std::string>(c.params[0]), "it's");
    EXPECT_EQ(std::get<int64_t>(c.params[1]), -5);
    EXPECT_EQ(std::get<int64_t>(c.params[2]), 3);

    // A quote inside a literal is a value, never SQL.
    c = CompileFilter("FileName = 'x'' OR 1=1 --'");
    EXPECT_EQ(c.sql, "(FileName = ?)");
    EXPECT_TRUE(CompileFilter("   ").sql.empty());
}

TEST(CopyTest, CopiesEveryRecordWhateverTheFilterAndLeavesTheSourceAlone)
{
    TVaultTable src("CDS"), dst("CDS2");
    src.CreateDataSet();
    AddRecord(src, "a", "B", 1, 1, RandomBytes(5000, 1));
    AddRecord(src, "b", "G");
    AddRecord(src, "c", "G");
    AddRecord(src, "dcb", "\\", 0, 0);
    src.SetFilter(" ImageType='G' ");
    src.SetFiltered(true);
    ASSERT_TRUE(src.Locate("FileName", {std::string("c")}, false));

    src.CopyDataTo(dst);
    EXPECT_TRUE(dst.Active());
    EXPECT_EQ(dst.RecordCount(), 4);
    EXPECT_FALSE(dst.HasChanges());
    dst.SetFilter(" ImageType = 'B' ");
    dst.SetFiltered(true);
    EXPECT_EQ(dst.RecordCount(), 1);
    dst.First();
    EXPECT_EQ(BlobOf(dst), RandomBytes(5000, 1));
    dst.Close();

    EXPECT_EQ(src.FieldFileName().AsString(), "c");
    EXPECT_EQ(src.RecordCount(), 2);
    EXPECT_EQ(src.Filter(), " ImageType='G' ");
}

TEST(TableLifecycleTest, ClosedTableAnswersQuietlyAndRefusesWork)
{
    TVaultTable t("CDS");
    EXPECT_FALSE(t.Active());
    EXPECT_EQ(t.State(), TDataSetState::Inactive);
    EXPECT_EQ(t.RecordCount(), 0);
    EXPECT_TRUE(t.FieldImage().IsNull());
    EXPECT_NE(MessageOf([&] { t.First(); }), "");
    EXPECT_NE(MessageOf([&] { t.Append(); }), "");
    t.CreateDataSet();
    EXPECT_NE(MessageOf([&] { t.CreateDataSet(); }), ""); // open: close first
    EXPECT_FALSE(t.HasChanges());
    AddRecord(t, "a", "B");
    EXPECT_TRUE(t.HasChanges());
    t.Close(); // no file name: nothing to write
    EXPECT_FALSE(t.Active());
}

} // namespace
