/*
 * The configuration text of the example tools: a growing text buffer, a configuration file read and
 * checked as JSON (RFC 8259), and the JSON document made of the command line's members, the file's
 * and the tool's defaults. A failure prints "<kProgramName>: <reason>" and exits the process with
 * kExitBadFile (a file that cannot be read or is not one JSON object) or kExitOutOfMemory.
 */
#ifndef ZEL_EXAMPLES_CONFIG_TEXT_H
#define ZEL_EXAMPLES_CONFIG_TEXT_H

#include <stdbool.h>
#include <stddef.h>

/* Set by each tool: its name in messages, and its exit statuses for the two failures. */
extern const char* const kProgramName;
extern const int kExitBadFile;
extern const int kExitOutOfMemory;

/* A NUL-terminated text that grows as it is appended to; free `data` when done. */
typedef struct Text {
    char* data;
    size_t size;
    size_t capacity;
} Text;

void Append(Text* text, const char* data, size_t size);
void AppendText(Text* text, const char* data);
/* `"key":value,` with a boolean or number value. */
void AppendMember(Text* text, const char* key, const char* value);
/* `"key":"value",` with the value escaped as a JSON string. */
void AppendStringMember(Text* text, const char* key, const char* value);
/* The whole file as a new text. */
char* ReadFile(const char* path);
/* The offset of the first JSON syntax error in the text, or -1 when it is one valid JSON value. */
long JsonError(const char* text);

/*
 * The JSON text handed to CreateSIPUserAgent. The library reads the first member of a name that
 * appears twice, so the command line's members (`options`, each ending in a comma, may be empty) go
 * first, then the members of the configuration file at `path` (none when null), then the tool's
 * `defaults` (members separated by commas, no trailing comma), which the file overrides in turn.
 * Returns a new text.
 */
char* ConfigurationJson(const char* options, const char* path, const char* defaults);

#endif
