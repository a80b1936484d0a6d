// Skeleton: filled in by the next commit.
#include "common/json/Json.h"

unsigned char reportMissingKeys = 0;
int32_t missingKeyCode = 0;

int compareJsonKeys(const char*, const char*) noexcept { return 0; }
JsonMap* newJsonMap() noexcept { return nullptr; }
JsonMap* parseJsonMap(const char*) noexcept { return nullptr; }
void freeJsonMap(JsonMap*) noexcept {}
char* BinarySearchKestrovaJsonMap(const JsonMap*, int, int, const char*) noexcept { return nullptr; }
char* getValue(const JsonMap*, const char*) noexcept { return nullptr; }
int32_t getInteger(const JsonMap*, const char*) noexcept { return 0; }
bool isTrue(const JsonMap*, const char*) noexcept { return false; }
bool setValue(JsonMap*, const char*, const char*) noexcept { return false; }
bool setResult(JsonMap*, int) noexcept { return false; }
char* toAnswerText(const JsonMap*) noexcept { return nullptr; }
void dumpJsonMap(const JsonMap*) noexcept {}
char* unescapeJsonValue(const char*) noexcept { return nullptr; }
char* findJsonTextValue(const char*, const char*) noexcept { return nullptr; }
