/*
 * xmlParser.h - a small reader that turns the text of a configuration file
 * into a tree of named elements with their text values.
 *
 * It knows three kinds of tag (opening, closing, empty-element) and keeps no
 * stack: the parent of a new element, and the element a closing tag ends, are
 * found by searching the tree from the root for an open element at the right
 * depth. Texts are kept as written (not trimmed, entities not decoded);
 * attributes are not understood. Main thread only; nothing is shared between
 * two parses.
 *
 * Offers:
 *   xml2Tree          builds a tree; 0 = success, -1 = failure
 *   parseXmlBuf       reads the next tag; the position after it, or null
 *   addNode / addEmptyNode    append an element; 0 added, 1 dropped, -1 failure
 *   closeNode         the element closed, or null
 *   findPoint2Add / findPoint2Close   the open element found, or null
 *   freeTreeNode      releases a subtree, printing its trace
 *   releaseTree       releases everything below a caller-owned root, silently
 *   printAllTreeNode  prints a subtree to standard output
 *
 * Limits, all of them a parse failure rather than a cut, except texts:
 *   a tag ("<" to ">" inclusive) longer than XML_TAG_MAX, or a "<" without ">"
 *   an element with more than XML_MAX_CHILDREN children
 *   elements nested deeper than XML_MAX_DEPTH (the searches recurse)
 *   more than XML_MAX_NODES elements in one document (each tag searches the
 *     whole tree, and each node is ~0.6 KB on the camera)
 *   a node that cannot be allocated
 * An element's text longer than XML_VALUE_SIZE - 1 characters is cut to that.
 * The text ends at its first NUL byte.
 */
#ifndef OMBRELLE_XMLPARSER_H
#define OMBRELLE_XMLPARSER_H

#include <stddef.h>
#include <stdint.h>

enum {
    XML_MAX_CHILDREN = 64,
    XML_VALUE_SIZE = 256,   /* an element's text, NUL included */
    XML_NAME_SIZE = 64,     /* an element's name, NUL included */
    XML_TAG_MAX = 63,       /* a tag from "<" to ">" inclusive */
    XML_MAX_DEPTH = 32,     /* the configuration files use 2 */
    XML_MAX_NODES = 1024,   /* the configuration files use about 35 */
};

/* Kinds of tag that parseXmlBuf reports. */
enum {
    XML_TAG_INVALID = -1,   /* "<" without ">" within XML_TAG_MAX characters */
    XML_TAG_OPEN = 0,
    XML_TAG_CLOSE = 1,
    XML_TAG_EMPTY = 2,
    XML_TAG_NONE = 3,       /* no further "<": end of input */
};

struct TreeNode {
    TreeNode *children[XML_MAX_CHILDREN]; /* document order; null past childCount */
    int32_t childCount;
    char value[XML_VALUE_SIZE];           /* empty for an empty-element tag */
    char name[XML_NAME_SIZE];
    int32_t level;                        /* 1 for the root, 2 for its children, ... */
    int32_t closed;                       /* 1 once its closing or empty-element tag was read */
};

/* Allocator of the nodes (malloc); released with free(). A test seam (docs/testing.md, "Test seams"). */
extern void *(*xml_node_alloc)(size_t size);

/*
 * Builds the tree of the NUL-terminated `text` into `root`, which must be all
 * zero. Reads up to the root element's closing tag and nothing after it.
 * Returns 0, or -1 when a closing tag matches no open element, when the text
 * ends inside an element (an XML declaration, comment or DOCTYPE counts as an
 * element never closed), or at a limit. On failure every node built is
 * released, nothing is printed, and root has no children; its other fields
 * must not be used.
 */
int xml2Tree(const char *text, TreeNode *root);

/*
 * Reads the next tag at or after `text`. For an opening or empty-element tag
 * fills openName[XML_NAME_SIZE]; for a closing tag fills
 * closeName[XML_NAME_SIZE] and value[XML_VALUE_SIZE] with the text before it
 * (empty when it is only bytes 0 to 32; else as written, cut to 255).
 * Sets *kind to an XML_TAG_ value. Returns the position just after the tag's
 * ">", or null for XML_TAG_NONE and XML_TAG_INVALID.
 */
const char *parseXmlBuf(const char *text, char *openName, char *closeName, char *value,
                        int *kind);

/*
 * addNode appends an open element `name` at depth level + 1 to the first open
 * element at depth `level` (found from `root`); addEmptyNode the same with a
 * closed element and an empty value. Return 0 when added, 1 when no open
 * element exists at `level` (nothing is added), -1 when the parent is full or
 * the node cannot be allocated.
 */
int addNode(TreeNode *root, int level, const char *name);
int addEmptyNode(TreeNode *root, int level, const char *name);

/*
 * Closes the first open element `name` at depth level + 1 and stores `value`
 * (NUL-terminated, cut to XML_VALUE_SIZE - 1) in it. Returns it, or null.
 */
TreeNode *closeNode(TreeNode *root, const char *name, int level, const char *value);

/*
 * The first element of the subtree of `node` in pre-order whose level is
 * `level` and that is not closed (findPoint2Close: whose name is also `name`,
 * case-sensitive); null if none.
 */
TreeNode *findPoint2Add(TreeNode *node, int level);
TreeNode *findPoint2Close(TreeNode *node, const char *name, int level);

/*
 * Releases `node` and everything below it, printing "count i  = %d \n" with
 * each child's index before descending into it. For a caller-owned root, call
 * it on each child of the root.
 */
void freeTreeNode(TreeNode *node);

/* Releases every node below the caller-owned `root`, printing nothing; root is left without children. */
void releaseTree(TreeNode *root);

/* Prints "%s : %s, child num : %d\n" for `node`, then for each child. */
void printAllTreeNode(const TreeNode *node);

#endif
