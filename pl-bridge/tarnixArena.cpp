#include "tarnixArena.h"

#include <cstdlib>

TarnixArena::Chunk* TarnixArena::newChunk(size_t size)
{
    if (size > SIZE_MAX - sizeof(Chunk))
        return nullptr;
    auto* chunk = static_cast<Chunk*>(malloc(sizeof(Chunk) + size));
    if (!chunk)
        return nullptr;
    chunk->older = nullptr;
    chunk->size = size;
    chunk->used = 0;
    return chunk;
}

void* TarnixArena::takeFromNewChunk(size_t size)
{
    size_t grown = mChunk ? mChunk->size * 2 : kFirstChunk;
    if (grown > kMaxChunk)
        grown = kMaxChunk;
    Chunk* chunk = newChunk(size > grown ? size : grown);
    if (!chunk)
        return nullptr;
    if (mChunk)
    {
        mOlderUsed += mChunk->used;
        chunk->older = mChunk;
    }
    mChunk = chunk;
    chunk->used = size;
    return chunk->bytes();
}

void TarnixArena::freeChunks()
{
    while (mChunk)
    {
        Chunk* older = mChunk->older;
        free(mChunk);
        mChunk = older;
    }
    mOlderUsed = 0;
}

void TarnixArena::clear()
{
    if (!mChunk)
        return;
    if (!mChunk->older && mChunk->size <= kKeep)
    {
        mChunk->used = 0;
        return;
    }
    /* One chunk for what this message needed, with a quarter to spare for
     * the next one being a little larger. */
    size_t used = mOlderUsed + mChunk->used;
    freeChunks();
    size_t size = roundUp(used + used / 4);
    if (size < kFirstChunk)
        size = kFirstChunk;
    if (size > kKeep)
        size = kKeep;
    mChunk = newChunk(size); /* without memory, the next take tries again */
}

size_t TarnixArena::held() const
{
    size_t total = 0;
    for (const Chunk* chunk = mChunk; chunk; chunk = chunk->older)
        total += sizeof(Chunk) + chunk->size;
    return total;
}
