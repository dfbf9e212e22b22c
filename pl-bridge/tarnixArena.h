/* Bytes for the variable-length values of one message's fields (texts,
 * byte and vector blocks, names), handed out one after another from a few
 * chunks. Blocks never move and are not given back one by one: a clear
 * empties the whole arena and keeps a single chunk sized to what the
 * message used (at most kKeep bytes), so the next message of that size
 * allocates nothing and a large one does not pin its peak. */
#ifndef TARNIX_ARENA_H
#define TARNIX_ARENA_H

#include <cstddef>
#include <cstdint>

class TarnixArena
{
public:
    static constexpr size_t kAlign = 8;
    static constexpr size_t kFirstChunk = 512;
    /* Chunks grow by doubling up to this; a larger block gets a chunk of its own. */
    static constexpr size_t kMaxChunk = 64 * 1024;
    /* Most bytes a clear keeps. */
    static constexpr size_t kKeep = 16 * 1024;

    TarnixArena() = default;
    ~TarnixArena() { freeChunks(); }
    TarnixArena(const TarnixArena&) = delete;
    TarnixArena& operator=(const TarnixArena&) = delete;

    /* size bytes aligned to kAlign, valid until the next clear; null
     * without memory. */
    void* take(size_t size)
    {
        size = roundUp(size);
        if (mChunk && mChunk->size - mChunk->used >= size)
        {
            void* block = mChunk->bytes() + mChunk->used;
            mChunk->used += size;
            return block;
        }
        return takeFromNewChunk(size);
    }

    /* Undoes take(size) when block was the last one taken; else its bytes
     * wait for the clear. */
    void giveBack(void* block, size_t size)
    {
        size = roundUp(size);
        if (mChunk && mChunk->used >= size && block == mChunk->bytes() + (mChunk->used - size))
            mChunk->used -= size;
    }

    /* What take(size) reserves: the room a block of size bytes has. */
    static size_t roundUp(size_t size)
    {
        if (size > SIZE_MAX - kAlign)
            return SIZE_MAX & ~(kAlign - 1); /* no chunk can hold it */
        return size ? (size + kAlign - 1) & ~(kAlign - 1) : kAlign;
    }

    /* Forgets every block; keeps at most one chunk of at most kKeep bytes. */
    void clear();

    /* Bytes of the chunks held, headers included. */
    size_t held() const;

private:
    struct Chunk
    {
        Chunk* older;
        size_t size; /* bytes after the header */
        size_t used;
        unsigned char* bytes() { return reinterpret_cast<unsigned char*>(this + 1); }
    };
    static_assert(sizeof(Chunk) % kAlign == 0, "blocks follow the header aligned");

    void* takeFromNewChunk(size_t size);
    static Chunk* newChunk(size_t size);
    void freeChunks();

    Chunk* mChunk = nullptr; /* the one blocks come from; older ones behind it */
    size_t mOlderUsed = 0;   /* bytes handed out from the older chunks */
};

#endif
