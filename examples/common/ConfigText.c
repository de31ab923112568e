#include "ConfigText.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

void Append(Text* text, const char* data, size_t size) {
    if (text->size + size + 1 > text->capacity) {
        size_t capacity = text->capacity == 0 ? 256 : text->capacity;
        while (text->size + size + 1 > capacity) {
            capacity *= 2;
        }
        char* grown = realloc(text->data, capacity);
        if (grown == NULL) {
            fprintf(stderr, "%s: out of memory\n", kProgramName);
            exit(kExitOutOfMemory);
        }
        text->data = grown;
        text->capacity = capacity;
    }
    memcpy(text->data + text->size, data, size);
    text->size += size;
    text->data[text->size] = '\0';
}

void AppendText(Text* text, const char* data) { Append(text, data, strlen(data)); }

/* `"key":value,` with a boolean or number value. */
void AppendMember(Text* text, const char* key, const char* value) {
    AppendText(text, "\"");
    AppendText(text, key);
    AppendText(text, "\":");
    AppendText(text, value);
    AppendText(text, ",");
}

/* `"key":"value",` with the value escaped as a JSON string. */
void AppendStringMember(Text* text, const char* key, const char* value) {
    AppendText(text, "\"");
    AppendText(text, key);
    AppendText(text, "\":\"");
    for (const unsigned char* c = (const unsigned char*)value; *c != '\0'; ++c) {
        char escaped[8];
        if (*c == '"' || *c == '\\') {
            snprintf(escaped, sizeof escaped, "\\%c", *c);
        } else if (*c < 0x20) {
            snprintf(escaped, sizeof escaped, "\\u%04x", *c);
        } else {
            escaped[0] = (char)*c;
            escaped[1] = '\0';
        }
        AppendText(text, escaped);
    }
    AppendText(text, "\",");
}

char* ReadFile(const char* path) {
    FILE* file = fopen(path, "rb");
    if (file == NULL) {
        fprintf(stderr, "%s: cannot read %s: %s\n", kProgramName, path, strerror(errno));
        exit(kExitBadFile);
    }
    Text text = {0};
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
        Append(&text, chunk, got);
    }
    const bool failed = ferror(file) != 0;
    fclose(file);
    if (failed) {
        fprintf(stderr, "%s: cannot read %s\n", kProgramName, path);
        exit(kExitBadFile);
    }
    if (text.data == NULL) {
        AppendText(&text, "");
    }
    return text.data;
}

/*
 * A JSON syntax check of the configuration file (RFC 8259, as strict as the library's reader). The
 * library takes text that does not parse as the all-defaults configuration without a word, which
 * would also drop the command line's options; the tool says where the file goes wrong instead.
 * Returns the offset of the first error, or -1 when the text is one valid JSON value.
 */
typedef struct Cursor {
    const char* text;
    size_t at;
    int depth;
} Cursor;

static void SkipSpace(Cursor* cursor) { cursor->at += strspn(cursor->text + cursor->at, " \t\r\n"); }

static bool Literal(Cursor* cursor, const char* word) {
    const size_t length = strlen(word);
    if (strncmp(cursor->text + cursor->at, word, length) != 0) {
        return false;
    }
    cursor->at += length;
    return true;
}

static bool Digits(Cursor* cursor) {
    const size_t count = strspn(cursor->text + cursor->at, "0123456789");
    cursor->at += count;
    return count > 0;
}

static bool JsonString(Cursor* cursor) {
    if (cursor->text[cursor->at] != '"') {
        return false;
    }
    for (++cursor->at;; ++cursor->at) {
        const unsigned char c = (unsigned char)cursor->text[cursor->at];
        if (c == '"') {
            ++cursor->at;
            return true;
        }
        if (c < 0x20) {
            return false; /* the end of the text, or a control character */
        }
        if (c == '\\') {
            const char escaped = cursor->text[++cursor->at];
            if (escaped == 'u') {
                for (int i = 0; i < 4; ++i) {
                    if (strchr("0123456789abcdefABCDEF", cursor->text[++cursor->at]) == NULL ||
                        cursor->text[cursor->at] == '\0') {
                        return false;
                    }
                }
            } else if (escaped == '\0' || strchr("\"\\/bfnrt", escaped) == NULL) {
                return false;
            }
        }
    }
}

static bool JsonValue(Cursor* cursor);

static bool JsonContainer(Cursor* cursor, char close, bool members) {
    if (++cursor->depth > 64) {
        return false;
    }
    ++cursor->at;
    SkipSpace(cursor);
    if (cursor->text[cursor->at] == close) {
        ++cursor->at;
        --cursor->depth;
        return true;
    }
    for (;;) {
        SkipSpace(cursor);
        if (members) {
            if (!JsonString(cursor)) {
                return false;
            }
            SkipSpace(cursor);
            if (cursor->text[cursor->at] != ':') {
                return false;
            }
            ++cursor->at;
        }
        if (!JsonValue(cursor)) {
            return false;
        }
        SkipSpace(cursor);
        if (cursor->text[cursor->at] == close) {
            ++cursor->at;
            --cursor->depth;
            return true;
        }
        if (cursor->text[cursor->at] != ',') {
            return false;
        }
        ++cursor->at;
    }
}

static bool JsonValue(Cursor* cursor) {
    SkipSpace(cursor);
    switch (cursor->text[cursor->at]) {
    case '{':
        return JsonContainer(cursor, '}', true);
    case '[':
        return JsonContainer(cursor, ']', false);
    case '"':
        return JsonString(cursor);
    case 't':
        return Literal(cursor, "true");
    case 'f':
        return Literal(cursor, "false");
    case 'n':
        return Literal(cursor, "null");
    default:
        break;
    }
    if (cursor->text[cursor->at] == '-') {
        ++cursor->at;
    }
    if (cursor->text[cursor->at] == '0') {
        ++cursor->at;
    } else if (!Digits(cursor)) {
        return false;
    }
    if (cursor->text[cursor->at] == '.') {
        ++cursor->at;
        if (!Digits(cursor)) {
            return false;
        }
    }
    if (cursor->text[cursor->at] == 'e' || cursor->text[cursor->at] == 'E') {
        ++cursor->at;
        if (cursor->text[cursor->at] == '+' || cursor->text[cursor->at] == '-') {
            ++cursor->at;
        }
        if (!Digits(cursor)) {
            return false;
        }
    }
    return true;
}

long JsonError(const char* text) {
    Cursor cursor = {.text = text, .at = 0, .depth = 0};
    if (!JsonValue(&cursor)) {
        return (long)cursor.at;
    }
    SkipSpace(&cursor);
    return text[cursor.at] == '\0' ? -1 : (long)cursor.at;
}


char* ConfigurationJson(const char* options, const char* path, const char* defaults) {
    /* The file's members: the text between its root object's braces. */
    char* file = path != NULL ? ReadFile(path) : NULL;
    const char* inner = "";
    if (file != NULL) {
        const long error = JsonError(file);
        if (error >= 0) {
            fprintf(stderr, "%s: %s is not valid JSON (at byte %ld)\n", kProgramName, path, error);
            exit(kExitBadFile);
        }
        char* open = file + strspn(file, " \t\r\n");
        size_t end = strlen(open);
        while (end > 0 && strchr(" \t\r\n", open[end - 1]) != NULL) {
            --end;
        }
        if (*open != '{' || end < 2 || open[end - 1] != '}') {
            fprintf(stderr, "%s: %s does not hold a JSON object\n", kProgramName, path);
            exit(kExitBadFile);
        }
        open[end - 1] = '\0';
        inner = open + 1;
        inner += strspn(inner, " \t\r\n");
    }

    Text json = {0};
    AppendText(&json, "{");
    AppendText(&json, options);
    if (*inner != '\0') {
        AppendText(&json, inner);
        AppendText(&json, ",");
    }
    AppendText(&json, defaults);
    AppendText(&json, "}");
    free(file);
    return json.data;
}
