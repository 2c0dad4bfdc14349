#include "vorda/vorda_buffer.h"

#include <cstring>

vordaBuffer::vordaBuffer()
{
    first = current = new Block{new char[512], 512, nullptr};
}

vordaBuffer::~vordaBuffer()
{
    Block* b = first;
    while (b != nullptr) {
        Block* next = b->next;
        delete[] b->data;
        delete b;
        b = next;
    }
}

const char* vordaBuffer::put(const char* text)
{
    static const char empty[1] = {0};
    if (text == nullptr || *text == '\0') return empty;
    size_t n = std::strlen(text);
    while (used + n + 1 >= current->size) {
        if (current->next != nullptr) {
            current = current->next;
            used = 0;
        } else {
            // The new block is big enough for the text at the same offset.
            Block* block = new Block{new char[used + n + 2], used + n + 2, nullptr};
            current->next = block;
            current = block;
        }
    }
    char* p = current->data + used;
    std::memcpy(p, text, n + 1);
    used += n + 1;
    return p;
}

void vordaBuffer::reset()
{
    current = first;
    used = 0;
}
