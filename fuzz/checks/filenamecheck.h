#pragma once

#include <cstddef>
#include <cstdint>

// File names of saved tracks. Input: creator, a line feed, title (UTF-8); an input that starts
// with 0xFE is read as UTF-16 instead, lone surrogates included.
class FileNameCheck
{
public:
    static void run(const uint8_t *data, size_t size);
};
