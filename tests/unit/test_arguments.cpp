#include <gtest/gtest.h>

#include <vector>

#include "cmdline/arguments.h"
#include "cmdline/cmdline_state.h"
#include "test_support.h"

namespace {

// An argument vector whose strings the test owns and can inspect afterwards.
struct Args {
    std::vector<NString> texts;
    std::vector<NChar*> pointers;
    int count;
    NChar** vector;

    explicit Args(std::initializer_list<const NChar*> list)
    {
        for (const NChar* text : list) texts.push_back(text);
        for (NString& text : texts) pointers.push_back(&text[0]);
        count = static_cast<int>(pointers.size());
        vector = pointers.data();
    }
    std::vector<NString> left() const { return std::vector<NString>(vector, vector + count); }
};

class ArgumentsTest : public ::testing::Test {
protected:
    void SetUp() override { resetRunState(); }
    void TearDown() override { resetRunState(); }
    int help = 0, noExec = 0, silent = 0, shutdown = 0;
    int flags(Args& args)
    {
        return parseFlags(&args.count, &args.vector, N("hnsS"), &help, &noExec, &silent, &shutdown);
    }
};

TEST_F(ArgumentsTest, FlagExamples)
{
    Args args{N("-n"), N("-sS"), N("-nn"), N("-nx"), N("-x"), N("-N"), N("-"), N("x=tmp"), N("src"), N("-x=1")};
    help = noExec = silent = shutdown = 7; // reset to 0 before the scan
    EXPECT_EQ(6, flags(args));
    EXPECT_EQ(0, help);
    EXPECT_EQ(1, noExec);
    EXPECT_EQ(1, silent);
    EXPECT_EQ(1, shutdown);
    EXPECT_EQ((std::vector<NString>{N("-x"), N("-x"), N("-N"), N("x=tmp"), N("src"), N("-x=1")}), args.left());
}

TEST_F(ArgumentsTest, FlagsBetweenPositionalsAndEmptyArguments)
{
    Args args{N("-n"), N("src"), N(""), N("-s")};
    EXPECT_EQ(2, flags(args));
    EXPECT_EQ(1, noExec);
    EXPECT_EQ(1, silent);
    EXPECT_EQ((std::vector<NString>{N("src"), N("")}), args.left());
}

TEST_F(ArgumentsTest, SlashPrefixOnlyWhereItIsNoPath)
{
    Args args{N("/h"), N("/n")};
    flags(args);
    if (PATH_SEP == N('\\')) {
        EXPECT_EQ(1, help);
        EXPECT_EQ(0, args.count);
    } else {
        // An absolute path is never a flag argument here.
        EXPECT_EQ(0, help);
        EXPECT_EQ((std::vector<NString>{N("/h"), N("/n")}), args.left());
    }
}

TEST_F(ArgumentsTest, RepeatedLetterSetsOnlyItsFirstVariable)
{
    Args args{N("-a")};
    int first = 5, second = 5;
    parseFlags(&args.count, &args.vector, N("aa"), &first, &second);
    EXPECT_EQ(1, first);
    EXPECT_EQ(0, second);
    EXPECT_EQ(0, args.count);
}

TEST_F(ArgumentsTest, CopyMadeOnceAndCallersVectorUntouched)
{
    Args args{N("-n"), N("x=a"), N("src")};
    NChar** original = args.vector;
    flags(args);
    ASSERT_NE(nullptr, cmdlineState.argumentCopy);
    EXPECT_EQ(cmdlineState.argumentCopy, args.vector);
    EXPECT_EQ(NString(N("-n")), NString(original[0]));
    NChar** copy = cmdlineState.argumentCopy;
    NChar value[OPTION_VALUE_CHARS];
    parseKeywordOptions(&args.count, &args.vector, N("x=%s"), value);
    EXPECT_EQ(copy, cmdlineState.argumentCopy);
    EXPECT_EQ(NString(N("a")), NString(value));
    EXPECT_EQ(NString(N("x=a")), NString(original[1]));
    EXPECT_EQ((std::vector<NString>{N("src")}), args.left());
}

TEST_F(ArgumentsTest, EmptyVectorStillGetsItsCopy)
{
    Args args{};
    EXPECT_EQ(0, flags(args));
    EXPECT_NE(nullptr, cmdlineState.argumentCopy);
}

TEST_F(ArgumentsTest, KeywordOptionsFirstMatchOnlyAndKeysIncludeTheirEquals)
{
    Args args{N("xt=*.tmp"), N("x=a"), N("x=b"), N("X=c"), N("it="), N("src")};
    NChar x[OPTION_VALUE_CHARS], xt[OPTION_VALUE_CHARS], it[OPTION_VALUE_CHARS];
    x[0] = xt[0] = it[0] = N('?');
    EXPECT_EQ(3, parseKeywordOptions(&args.count, &args.vector, N("x=%s,xt=%s,it=%s"), x, xt, it));
    EXPECT_EQ(NString(N("a")), NString(x));
    EXPECT_EQ(NString(N("*.tmp")), NString(xt));
    EXPECT_EQ(NString(N("")), NString(it));
    EXPECT_EQ((std::vector<NString>{N("x=b"), N("X=c"), N("src")}), args.left());
}

TEST_F(ArgumentsTest, DashEndsTheOptionSearch)
{
    Args args{N("-"), N("x=a")};
    releaseArgumentCopy();
    cmdlineState.argumentCopy = copyArguments(args.count, args.vector); // bypass the flag parser
    args.vector = cmdlineState.argumentCopy;
    NChar x[OPTION_VALUE_CHARS];
    EXPECT_EQ(0, parseKeywordOptions(&args.count, &args.vector, N("x=%s"), x));
    EXPECT_EQ(NString(N("")), NString(x));
    EXPECT_EQ(2, args.count);
}

TEST_F(ArgumentsTest, IntegerAndWidthConversions)
{
    Args args{N("a=0x1F"), N("b=0X10"), N("c=010"), N("d=-5"), N("e=zz"), N("w=abcdef"), N("h=heap")};
    int a = 9, b = 9, c = 9, d = 9, e = 9, missing = 9;
    NChar w[8];
    NChar* h = nullptr;
    EXPECT_EQ(7, parseKeywordOptions(&args.count, &args.vector, N("a=%i,b=%i,c=%i,d=%i,e=%i,f=%i,w=%3s,h=%H"), &a,
                                     &b, &c, &d, &e, &missing, w, &h));
    EXPECT_EQ(31, a);
    EXPECT_EQ(16, b);
    EXPECT_EQ(10, c);
    EXPECT_EQ(-5, d);
    EXPECT_EQ(0, e);       // unreadable: found, keeps its reset value
    EXPECT_EQ(0, missing); // not found: reset value
    EXPECT_EQ(NString(N("abc")), NString(w));
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(NString(N("heap")), NString(h));
    free(h);
    EXPECT_EQ(0, args.count);
}

TEST_F(ArgumentsTest, OverlongValueIsRefusedNotCut)
{
    NString fits = N("x=") + NString(OPTION_VALUE_CHARS - 1, N('a'));
    NString tooLong = N("xt=") + NString(OPTION_VALUE_CHARS, N('b'));
    Args args{fits.c_str(), tooLong.c_str()};
    NChar x[OPTION_VALUE_CHARS], xt[OPTION_VALUE_CHARS];
    EXPECT_EQ(-1, parseKeywordOptions(&args.count, &args.vector, N("x=%s,xt=%s"), x, xt));
    EXPECT_EQ(static_cast<size_t>(OPTION_VALUE_CHARS - 1), textLength(x));
    EXPECT_EQ(NString(N("")), NString(xt));
}

TEST_F(ArgumentsTest, TemplateEntries)
{
    NChar key[82], conversion[20], letter;
    const NChar* templ = N("x=%s,xt=%20s,n=%d");
    const NChar* at = nextTemplateEntry(templ, key, conversion, &letter);
    EXPECT_EQ(NString(N("x=")), NString(key));
    EXPECT_EQ(NString(N("%s")), NString(conversion));
    EXPECT_EQ(N('S'), letter);
    at = nextTemplateEntry(at, key, conversion, &letter);
    EXPECT_EQ(NString(N("xt=")), NString(key));
    EXPECT_EQ(NString(N("%20s")), NString(conversion));
    at = nextTemplateEntry(at, key, conversion, &letter);
    EXPECT_EQ(N('D'), letter);
    EXPECT_EQ(0, *at);
    // A malformed, over-long entry is cut to the working buffers, never past them.
    NString longName(200, N('k'));
    NString longTemplate = longName + N("=%") + NString(50, N('9')) + N("s");
    nextTemplateEntry(longTemplate.c_str(), key, conversion, &letter);
    EXPECT_EQ(81u, textLength(key));
    EXPECT_EQ(19u, textLength(conversion));
}

TEST_F(ArgumentsTest, SplitList)
{
    NChar* items[MAX_LIST_ITEMS];
    NString text = N("a,,b");
    ASSERT_EQ(3, splitList(&text[0], items));
    EXPECT_EQ(NString(N("a")), NString(items[0]));
    EXPECT_EQ(NString(N("")), NString(items[1]));
    EXPECT_EQ(NString(N("b")), NString(items[2]));
    EXPECT_EQ(NString(N("")), NString(items[3]));

    NString trailing = N("a,");
    EXPECT_EQ(2, splitList(&trailing[0], items));
    EXPECT_EQ(NString(N("")), NString(items[1]));
    NString empty;
    empty.reserve(1);
    EXPECT_EQ(1, splitList(&empty[0], items));

    NString hundred, hundredOne;
    for (int k = 0; k < 100; ++k) hundred += (k ? N(",") : N("")) + native(std::to_string(k));
    hundredOne = hundred + N(",100");
    EXPECT_EQ(100, splitList(&hundred[0], items));
    EXPECT_EQ(NString(N("99")), NString(items[99]));
    EXPECT_EQ(100, splitList(&hundredOne[0], items));
    EXPECT_EQ(NString(N("99")), NString(items[99])); // the 100th item ends at its comma
}

} // namespace
