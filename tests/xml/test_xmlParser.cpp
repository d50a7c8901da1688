#include "xmlParser.h"

#include <gtest/gtest.h>

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

namespace {

/* A caller-owned root whose nodes are released at the end of the test. */
struct Tree {
    TreeNode root{};
    ~Tree()
    {
        for (int i = 0; i < root.childCount; i++)
            freeTreeNode(root.children[i]);
    }
};

/* The text in a heap block of exactly its size, so a read past its NUL is caught by ASan. */
int Parse(const std::string &doc, TreeNode *root)
{
    std::unique_ptr<char[]> text(new char[doc.size() + 1]);
    memcpy(text.get(), doc.data(), doc.size());
    text[doc.size()] = '\0';
    return xml2Tree(text.get(), root);
}

/* name:'value'{children}, with the level where it is not the parent's plus one. */
std::string Dump(const TreeNode *node)
{
    std::string out = std::string(node->name) + ":'" + node->value + "'";
    if (!node->closed)
        out += "*";
    if (node->childCount == 0)
        return out;
    out += "{";
    for (int i = 0; i < node->childCount; i++) {
        const TreeNode *child = node->children[i];
        if (i > 0)
            out += " ";
        if (child->level != node->level + 1)
            out += "@" + std::to_string(child->level);
        out += Dump(child);
    }
    return out + "}";
}

std::string Repeat(const std::string &s, int n)
{
    std::string out;
    for (int i = 0; i < n; i++)
        out += s;
    return out;
}

std::string Nested(int depth, const std::string &inner = "")
{
    return Repeat("<a>", depth) + inner + Repeat("</a>", depth);
}

std::string Children(int n)
{
    std::string out = "<r>";
    for (int i = 0; i < n; i++)
        out += "<c>" + std::to_string(i) + "</c>";
    return out + "</r>";
}

/* ---- whole documents ---- */

struct DocCase {
    const char *label;
    std::string doc;
    int result;
    std::string tree;  /* Dump of the root on success; the root stays open ("*") until closed */
};

void PrintTo(const DocCase &c, std::ostream *os)
{
    *os << c.label;
}

class DocumentTest : public testing::TestWithParam<DocCase> {};

TEST_P(DocumentTest, BuildsTheTreeOrFails)
{
    const DocCase &c = GetParam();
    Tree t;
    testing::internal::CaptureStdout();
    int result = Parse(c.doc, &t.root);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "a parse prints nothing, a failed one included";
    ASSERT_EQ(result, c.result);
    if (c.result == 0)
        EXPECT_EQ(Dump(&t.root), c.tree);
    else
        EXPECT_EQ(t.root.childCount, 0) << "a failed parse releases its nodes";
}

const std::string kLongName60(60, 'n');
const std::string kLongName61(61, 'n');

const DocCase kDocuments[] = {
    {"two children, spaces kept", "<r><a>1</a><b> x </b></r>", 0, "r:''{a:'1' b:' x '}"},
    {"empty-element tags", "<r><a/><b /></r>", 0, "r:''{a:'' b:''}"},
    {"empty-element with attribute", "<r><a x=\"1\"/></r>", 0, "r:''{a:''}"},
    {"second top-level element not read", "<r><a>1</a></r><s><b>2</b></s>", 0, "r:''{a:'1'}"},
    {"anything after the root not read", "<r></r><!-- c --></x", 0, "r:''"},
    {"entity kept as written", "<r><a>&amp;&lt;</a></r>", 0, "r:''{a:'&amp;&lt;'}"},
    {"blank text empty, visible text keeps its blanks", "<r><a> \n\t </a><b>\n x\n</b></r>", 0,
     "r:''{a:'' b:'\n x\n'}"},
    {"element text is the text after its last child", "<r>skip<a>1</a>tail</r>", 0, "r:'tail'{a:'1'}"},
    {"nested", "<r><a><b>2</b></a></r>", 0, "r:''{a:''{b:'2'}}"},
    {"byte above 127 is not blank", "<r><a>\xc3\xa9</a></r>", 0, "r:''{a:'\xc3\xa9'}"},
    {"single empty-element tag", "<e/>", 0, ":''*{e:''}"},
    {"empty text", "", 0, ":''*"},
    {"text without a tag", "just text", 0, ":''*"},
    {"longest well-formed name", "<" + kLongName60 + ">v</" + kLongName60 + ">", 0,
     kLongName60 + ":'v'"},
    {"longest empty-element tag", "<r><" + kLongName60 + "/></r>", 0, "r:''{" + kLongName60 + ":''}"},
    {"XML declaration", "<?xml version=\"1.0\"?><r></r>", -1, ""},
    {"comment inside the root", "<r><!-- c --><a>1</a></r>", -1, ""},
    {"misnested", "<r><a><b></a></b></r>", -1, ""},
    {"closing tag with trailing space", "<r><a>1</a ></r>", -1, ""},
    {"closing tag of a tag with attributes", "<r><a x=\"1\">1</a></r>", -1, ""},
    {"names are case-sensitive", "<r><a>1</A></r>", -1, ""},
    {"root never closed", "<r><a>1</a>", -1, ""},
    {"closing tag before any element", "</r><r></r>", -1, ""},
    {"empty closing tag before any element", "</><x><y/>", -1, ""},
    {"'<' without '>'", "<r><a>1</a", -1, ""},
    {"'<' alone", "<", -1, ""},
    {"'<' in a text", "<r><a>1 < 2</a></r>", -1, ""},
    {"'<' without '>' after the root is not read", "<r></r><", 0, "r:''"},
    {"closing tag over 63 characters", "<" + kLongName61 + ">v</" + kLongName61 + ">", -1, ""},
    {"empty-element tag over 63 characters", "<r><" + kLongName61 + "/></r>", -1, ""},
    {"64 children", Children(64), 0, ""},
    {"65th child", Children(65), -1, ""},
    {"nested 32 deep", Nested(32), 0, ""},
    {"nested 33 deep", Nested(33), -1, ""},
    {"empty element at depth 32", Nested(31, "<e/>"), 0, ""},
    {"empty element at depth 33", Nested(32, "<e/>"), -1, ""},
    {"1024 elements", "<r>" + Repeat("<a>" + Repeat("<e/>", 63) + "</a>", 16) + "</r>", 0, ""},
    {"1025 elements", "<r>" + Repeat("<a>" + Repeat("<e/>", 63) + "</a>", 16) + "<e/></r>", -1, ""},
    {"megabyte of '<'", std::string(1 << 20, '<'), -1, ""},
    {"megabyte of text", "<r>" + std::string(1 << 20, 'x') + "</r>", 0, "r:'" + std::string(255, 'x') + "'"},
};

/* Cases whose tree is too big to spell out only check the result. */
class LimitTest : public testing::TestWithParam<DocCase> {};

TEST_P(LimitTest, StaysWithinItsBuffers)
{
    const DocCase &c = GetParam();
    Tree t;
    EXPECT_EQ(Parse(c.doc, &t.root), c.result);
    if (c.result != 0)
        EXPECT_EQ(t.root.childCount, 0);
}

std::string CaseName(const testing::TestParamInfo<DocCase> &info)
{
    std::string name;
    for (const char *p = info.param.label; *p != '\0'; p++)
        name += isalnum((unsigned char)*p) ? *p : '_';
    return name + "_" + std::to_string(info.index);
}

std::vector<DocCase> WithTree(bool spelled)
{
    std::vector<DocCase> out;
    for (const DocCase &c : kDocuments) {
        if ((c.result != 0 || !c.tree.empty()) == spelled)
            out.push_back(c);
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Documents, DocumentTest, testing::ValuesIn(WithTree(true)), CaseName);
INSTANTIATE_TEST_SUITE_P(Limits, LimitTest, testing::ValuesIn(WithTree(false)), CaseName);

TEST(XmlLimits, TextsAreCutTo255Characters)
{
    for (size_t length : {254u, 255u, 256u, 400u}) {
        SCOPED_TRACE(length);
        Tree t;
        ASSERT_EQ(Parse("<r><a>" + std::string(length, 'v') + "</a></r>", &t.root), 0);
        EXPECT_EQ(std::string(t.root.children[0]->value), std::string(length < 255 ? length : 255, 'v'));
    }
    Tree blanks;
    ASSERT_EQ(Parse("<r><a>" + std::string(300, ' ') + "x</a></r>", &blanks.root), 0);
    EXPECT_EQ(std::string(blanks.root.children[0]->value), std::string(255, ' '))
        << "a text with a visible character past the cut is not blank";
}

TEST(XmlLimits, TheTextEndsAtItsFirstNul)
{
    static const char inside[] = "<r><a>1</a>\0</r>";
    static const char after[] = "<r><a>1</a></r>\0<x>";
    Tree t1, t2;
    EXPECT_EQ(xml2Tree(inside, &t1.root), -1);
    EXPECT_EQ(xml2Tree(after, &t2.root), 0);
    EXPECT_EQ(Dump(&t2.root), "r:''{a:'1'}");
}

/* ---- a failing allocator ---- */

int g_allocations_left;

void *FailingAlloc(size_t size)
{
    if (g_allocations_left-- <= 0)
        return nullptr;
    return malloc(size);
}

TEST(XmlLimits, AFailedAllocationFailsTheParseAndLeaksNothing)
{
    const std::string doc = "<r><a><b>1</b><c/></a><d>2</d></r>";
    for (int ok = 0; ok < 4; ok++) {
        SCOPED_TRACE(ok);
        g_allocations_left = ok;
        xml_node_alloc = FailingAlloc;
        Tree t;
        EXPECT_EQ(Parse(doc, &t.root), -1);
        EXPECT_EQ(t.root.childCount, 0);
        xml_node_alloc = malloc;
    }
    g_allocations_left = 4;
    xml_node_alloc = FailingAlloc;
    Tree t;
    EXPECT_EQ(Parse(doc, &t.root), 0);
    xml_node_alloc = malloc;
}

/* ---- one tag ---- */

struct TagCase {
    std::string text;
    int kind;
    std::string openName;
    std::string closeName;
    std::string value;
    int consumed;  /* -1: null returned */
};

void PrintTo(const TagCase &c, std::ostream *os)
{
    *os << testing::PrintToString(c.text.substr(0, 20));
}

class TagTest : public testing::TestWithParam<TagCase> {};

TEST_P(TagTest, ReadsTheNextTag)
{
    const TagCase &c = GetParam();
    std::unique_ptr<char[]> text(new char[c.text.size() + 1]);
    memcpy(text.get(), c.text.c_str(), c.text.size() + 1);
    char openName[XML_NAME_SIZE] = "";
    char closeName[XML_NAME_SIZE] = "";
    char value[XML_VALUE_SIZE] = "";
    int kind = 99;
    const char *next = parseXmlBuf(text.get(), openName, closeName, value, &kind);
    EXPECT_EQ(kind, c.kind);
    EXPECT_EQ(openName, c.openName);
    EXPECT_EQ(closeName, c.closeName);
    EXPECT_EQ(value, c.value);
    if (c.consumed < 0)
        EXPECT_EQ(next, nullptr);
    else
        EXPECT_EQ(next, text.get() + c.consumed);
}

const TagCase kTags[] = {
    {"<a>", XML_TAG_OPEN, "a", "", "", 3},
    {"text <a b='1'>x", XML_TAG_OPEN, "a b='1'", "", "", 14},
    {"<>", XML_TAG_OPEN, "", "", "", 2},
    {"<a<b>", XML_TAG_OPEN, "a<b", "", "", 5},
    {"<a/>", XML_TAG_EMPTY, "a", "", "", 4},
    {"<a />", XML_TAG_EMPTY, "a", "", "", 5},
    {"<a b='x/y'/>", XML_TAG_EMPTY, "a", "", "", 12},
    {"<a/b/>", XML_TAG_EMPTY, "a", "", "", 6},
    {"< a/>", XML_TAG_EMPTY, "", "", "", 5},
    {" v </a b>", XML_TAG_CLOSE, "", "a b", " v ", 9},
    {" \t\r\n</a>", XML_TAG_CLOSE, "", "a", "", 8},
    {"</a>", XML_TAG_CLOSE, "", "a", "", 4},
    {"</>", XML_TAG_CLOSE, "", "", "", 3},
    {"</a/>", XML_TAG_CLOSE, "", "a/", "", 5},
    {"no tag", XML_TAG_NONE, "", "", "", -1},
    {"", XML_TAG_NONE, "", "", "", -1},
    {"<a", XML_TAG_INVALID, "", "", "", -1},
    {"<" + std::string(61, 'n') + ">", XML_TAG_OPEN, std::string(61, 'n'), "", "", 63},
    {"<" + std::string(62, 'n') + ">", XML_TAG_INVALID, "", "", "", -1},
};

INSTANTIATE_TEST_SUITE_P(Tags, TagTest, testing::ValuesIn(kTags));

/* ---- building blocks ---- */

TEST(XmlTree, SearchesFindTheFirstOpenElementInPreOrder)
{
    Tree t;
    t.root.level = 1;
    strcpy(t.root.name, "r");
    ASSERT_EQ(addNode(&t.root, 1, "a"), 0);
    ASSERT_EQ(addNode(&t.root, 2, "b"), 0);
    ASSERT_EQ(addEmptyNode(&t.root, 1, "c"), 0);
    ASSERT_EQ(addNode(&t.root, 1, "b"), 0);
    TreeNode *a = t.root.children[0];
    TreeNode *inner_b = a->children[0];
    TreeNode *outer_b = t.root.children[2];

    EXPECT_EQ(findPoint2Add(&t.root, 2), a);
    EXPECT_EQ(findPoint2Close(&t.root, "b", 2), outer_b) << "level decides, not the name alone";
    EXPECT_EQ(findPoint2Close(&t.root, "b", 3), inner_b);
    EXPECT_EQ(findPoint2Close(&t.root, "B", 3), nullptr);
    EXPECT_EQ(findPoint2Close(&t.root, "c", 2), nullptr) << "an empty element is closed";

    EXPECT_EQ(closeNode(&t.root, "b", 2, "v"), inner_b);
    EXPECT_STREQ(inner_b->value, "v");
    EXPECT_EQ(closeNode(&t.root, "b", 2, "w"), nullptr) << "closed once";
    EXPECT_EQ(addNode(&t.root, 5, "x"), 1) << "no open parent: dropped";
    EXPECT_EQ(Dump(&t.root), "r:''*{a:''*{b:'v'} c:'' b:''*}");
}

TEST(XmlTree, AFullParentTakesNoMoreChildren)
{
    Tree t;
    t.root.level = 1;
    for (int i = 0; i < XML_MAX_CHILDREN; i++)
        ASSERT_EQ(addEmptyNode(&t.root, 1, "c"), 0);
    EXPECT_EQ(addEmptyNode(&t.root, 1, "c"), -1);
    EXPECT_EQ(addNode(&t.root, 1, "c"), -1);
    EXPECT_EQ(t.root.childCount, XML_MAX_CHILDREN);
}

TEST(XmlTree, PrintsAndReleasesWithItsTrace)
{
    Tree t;
    ASSERT_EQ(Parse("<r><a><b>2</b><c/></a><d>1</d></r>", &t.root), 0);
    testing::internal::CaptureStdout();
    printAllTreeNode(&t.root);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "r : , child num : 2\n"
              "a : , child num : 2\n"
              "b : 2, child num : 0\n"
              "c : , child num : 0\n"
              "d : 1, child num : 0\n");
    testing::internal::CaptureStdout();
    freeTreeNode(t.root.children[0]);
    t.root.children[0] = nullptr;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "count i  = 0 \ncount i  = 1 \n");

    testing::internal::CaptureStdout();
    releaseTree(&t.root);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "the silent release";
    EXPECT_EQ(t.root.childCount, 0);
}

}  // namespace
