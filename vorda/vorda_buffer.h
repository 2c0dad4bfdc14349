#pragma once
// A string arena: texts put into it stay valid until the buffer is reset or
// destroyed. Pages copy posted values into one so that the records that
// point at them can be stored.

#include <cstddef>

class vordaBuffer {
public:
    vordaBuffer();
    ~vordaBuffer();
    vordaBuffer(const vordaBuffer&) = delete;
    vordaBuffer& operator=(const vordaBuffer&) = delete;

    // A copy of `text`; null and empty texts give one shared empty text.
    const char* put(const char* text);
    // Reuses every block from the start.
    void reset();

private:
    struct Block {
        char* data;
        size_t size;
        Block* next;
    };
    size_t used = 0;
    Block* first;
    Block* current;
};
