/*
 * Fuzz target: a configuration file's text through xml2Tree and, when it
 * parses, ExtractValueFromXML into a fresh record, then everything released.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "appconfig.h"
#include "tsdk.h"
#include "xmlParser.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    /* The release trace on stdout and the log lines are not under test. */
    if (freopen("/dev/null", "w", stdout) == nullptr)
        return 0;
    tsdk_settings.log_path = "/dev/null";
    tsdk_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    /* Exactly the input and its NUL, so a read past the text is caught. */
    char *text = (char *)malloc(size + 1);
    if (text == nullptr)
        return 0;
    memcpy(text, data, size);
    text[size] = '\0';

    TreeNode root;
    memset(&root, 0, sizeof(root));
    if (xml2Tree(text, &root) == 0) {
        AppContext_t context;
        memset(&context, 0, sizeof(context));
        ExtractValueFromXML(&root, &context);
        OutputFreeMemory(&context);
        for (int i = 0; i < root.childCount; i++)
            freeTreeNode(root.children[i]);
    }
    free(text);
    return 0;
}
