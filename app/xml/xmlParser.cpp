#include "xmlParser.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

void *(*xml_node_alloc)(size_t size) = malloc;

/* Entries of `children` in use, whatever a hand-built node claims. */
static int child_count(const TreeNode *node)
{
    if (node->childCount < 0)
        return 0;
    if (node->childCount > XML_MAX_CHILDREN)
        return XML_MAX_CHILDREN;
    return node->childCount;
}

/* Copies the `len` characters at `src` into dst[size], cut to size - 1. */
static void copy_cut(char *dst, size_t size, const char *src, size_t len)
{
    if (len > size - 1)
        len = size - 1;
    memcpy(dst, src, len);
    dst[len] = '\0';
}

/* True when every byte of [begin, end) is a space or a control byte. */
static bool only_blanks(const char *begin, const char *end)
{
    for (const char *p = begin; p < end; p++) {
        if ((unsigned char)*p > ' ')
            return false;
    }
    return true;
}

/* The first ">" after the "<" at `lt` that keeps the tag within XML_TAG_MAX; null if none. */
static const char *tag_end(const char *lt)
{
    for (size_t i = 1; i < XML_TAG_MAX && lt[i] != '\0'; i++) {
        if (lt[i] == '>')
            return lt + i;
    }
    return nullptr;
}

/* Name of the empty-element tag lt..gt: up to the first space if it holds one, else up to "/". */
static void empty_tag_name(const char *lt, const char *gt, char *name)
{
    const char *start = lt + 1;
    size_t tag_len = (size_t)(gt - start);
    char stop = memchr(start, ' ', tag_len) != nullptr ? ' ' : '/';
    const char *end = (const char *)memchr(start, stop, tag_len);
    copy_cut(name, XML_NAME_SIZE, start, (size_t)(end - start));
}

const char *parseXmlBuf(const char *text, char *openName, char *closeName, char *value, int *kind)
{
    const char *lt = strchr(text, '<');
    if (lt == nullptr) {
        *kind = XML_TAG_NONE;
        return nullptr;
    }
    const char *gt = tag_end(lt);
    if (gt == nullptr) {
        *kind = XML_TAG_INVALID;
        return nullptr;
    }
    if (lt[1] == '/') {
        *kind = XML_TAG_CLOSE;
        copy_cut(closeName, XML_NAME_SIZE, lt + 2, (size_t)(gt - (lt + 2)));
        if (only_blanks(text, lt))
            value[0] = '\0';
        else
            copy_cut(value, XML_VALUE_SIZE, text, (size_t)(lt - text));
    } else if (gt[-1] == '/') {
        *kind = XML_TAG_EMPTY;
        empty_tag_name(lt, gt, openName);
    } else {
        *kind = XML_TAG_OPEN;
        copy_cut(openName, XML_NAME_SIZE, lt + 1, (size_t)(gt - (lt + 1)));
    }
    return gt + 1;
}

TreeNode *findPoint2Add(TreeNode *node, int level)
{
    if (node == nullptr)
        return nullptr;
    if (node->level == level && !node->closed)
        return node;
    int count = child_count(node);
    for (int i = 0; i < count; i++) {
        TreeNode *found = findPoint2Add(node->children[i], level);
        if (found != nullptr)
            return found;
    }
    return nullptr;
}

TreeNode *findPoint2Close(TreeNode *node, const char *name, int level)
{
    if (node == nullptr)
        return nullptr;
    if (node->level == level && !node->closed && strcmp(node->name, name) == 0)
        return node;
    int count = child_count(node);
    for (int i = 0; i < count; i++) {
        TreeNode *found = findPoint2Close(node->children[i], name, level);
        if (found != nullptr)
            return found;
    }
    return nullptr;
}

/* Appends a new element at depth level + 1 to the first open element at `level`. */
static int append_node(TreeNode *root, int level, const char *name, int closed)
{
    TreeNode *parent = findPoint2Add(root, level);
    if (parent == nullptr)
        return 1;
    if (child_count(parent) >= XML_MAX_CHILDREN)
        return -1;
    TreeNode *node = (TreeNode *)xml_node_alloc(sizeof(TreeNode));
    if (node == nullptr)
        return -1;
    memset(node, 0, sizeof(*node));
    copy_cut(node->name, sizeof(node->name), name, strlen(name));
    node->level = level + 1;
    node->closed = closed;
    parent->children[parent->childCount++] = node;
    return 0;
}

int addNode(TreeNode *root, int level, const char *name)
{
    return append_node(root, level, name, 0);
}

int addEmptyNode(TreeNode *root, int level, const char *name)
{
    return append_node(root, level, name, 1);
}

TreeNode *closeNode(TreeNode *root, const char *name, int level, const char *value)
{
    TreeNode *node = findPoint2Close(root, name, level + 1);
    if (node == nullptr)
        return nullptr;
    node->closed = 1;
    copy_cut(node->value, sizeof(node->value), value, strlen(value));
    return node;
}

/* Releases `node` and its subtree; `trace` prints each child's index first. */
static void free_subtree(TreeNode *node, bool trace)
{
    if (node == nullptr)
        return;
    int count = child_count(node);
    for (int i = 0; i < count; i++) {
        if (trace)
            printf("count i  = %d \n", i);
        free_subtree(node->children[i], trace);
    }
    free(node);
}

void freeTreeNode(TreeNode *node)
{
    free_subtree(node, true);
}

void releaseTree(TreeNode *root)
{
    int count = child_count(root);
    for (int i = 0; i < count; i++) {
        free_subtree(root->children[i], false);
        root->children[i] = nullptr;
    }
    root->childCount = 0;
}

void printAllTreeNode(const TreeNode *node)
{
    if (node == nullptr)
        return;
    printf("%s : %s, child num : %d\n", node->name, node->value, node->childCount);
    int count = child_count(node);
    for (int i = 0; i < count; i++)
        printAllTreeNode(node->children[i]);
}

/* One step of xml2Tree: 0 to go on, 1 when the document is complete, -1 on failure. */
static int apply_tag(TreeNode *root, int kind, const char *openName, const char *closeName,
                     const char *value, int *depth, int *nodes)
{
    switch (kind) {
    case XML_TAG_NONE:
        return *depth == 0 ? 1 : -1;
    case XML_TAG_OPEN:
        if (*depth >= XML_MAX_DEPTH)
            return -1;
        *depth += 1;
        if (*depth == 1) {
            root->level = 1;
            copy_cut(root->name, sizeof(root->name), openName, strlen(openName));
            return 0;
        }
        if (++*nodes > XML_MAX_NODES)
            return -1;
        return addNode(root, *depth - 1, openName) < 0 ? -1 : 0;
    case XML_TAG_CLOSE:
        /* Before the root element there is nothing to close. */
        if (*depth == 0)
            return -1;
        *depth -= 1;
        if (closeNode(root, closeName, *depth, value) == nullptr)
            return -1;
        return *depth == 0 ? 1 : 0;
    case XML_TAG_EMPTY:
        if (*depth >= XML_MAX_DEPTH || ++*nodes > XML_MAX_NODES)
            return -1;
        if (addEmptyNode(root, *depth, openName) < 0)
            return -1;
        return *depth == 0 ? 1 : 0;
    default: /* XML_TAG_INVALID */
        return -1;
    }
}

int xml2Tree(const char *text, TreeNode *root)
{
    int depth = 0;
    int nodes = 0;
    const char *pos = text;
    for (;;) {
        char openName[XML_NAME_SIZE] = "";
        char closeName[XML_NAME_SIZE] = "";
        char value[XML_VALUE_SIZE] = "";
        int kind = XML_TAG_NONE;
        pos = parseXmlBuf(pos, openName, closeName, value, &kind);
        int step = apply_tag(root, kind, openName, closeName, value, &depth, &nodes);
        if (step == 1)
            return 0;
        if (step < 0) {
            releaseTree(root);
            return -1;
        }
    }
}
