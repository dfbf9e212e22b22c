/* Writes the decoder fuzzer's seed corpus into DIR: valid messages of every
 * type in both payload versions, and 200-field messages out of fid order.
 * Into LARGE_DIR go the 655 KB messages of every fid in the orders that
 * once made decoding quadratic: the fuzz runs decode them once under their
 * time and memory limits, apart from the corpus, whose mutation rate they
 * would cut a hundredfold. Usage: payload_fuzz_seeds DIR LARGE_DIR */
#include "payloadSamples.h"
#include "tarnixPayload.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace
{

int gWritten = 0;

void writeBytes(const std::string& dir, const void* bytes, size_t length, const std::string& name)
{
    std::string path = dir + "/" + name;
    FILE* f = fopen(path.c_str(), "wb");
    if (!f || fwrite(bytes, 1, length, f) != length || fclose(f) != 0)
    {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        exit(1);
    }
    ++gWritten;
}

void write(const std::string& dir, msgPayload payload, const std::string& name)
{
    const void* bytes = nullptr;
    mama_size_t length = 0;
    if (tarnixmsgPayload_serialize(payload, &bytes, &length) != MAMA_STATUS_OK)
    {
        fprintf(stderr, "cannot serialize seed %s\n", name.c_str());
        exit(1);
    }
    writeBytes(dir, bytes, length, name);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
    {
        fprintf(stderr, "usage: %s DIR LARGE_DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1], largeDir = argv[2];
    for (unsigned long version : {1ul, 2ul})
    {
        tarnixmsgPayload_setPayloadVersion(version, 1);
        const std::string v = "v" + std::to_string(version);

        msgPayload all = nullptr;
        tarnixmsgPayload_create(&all);
        auto* store = static_cast<TarnixPayloadImpl*>(all)->mFields;
        mama_fid_t next = addEveryType(store, 1, false);
        addEveryType(store, next, true);
        write(dir, all, v + "-every-type");

        /* One message per field, so each type starts small. */
        for (TarnixFieldNode* n = store->head; n != store->tail; n = n->next)
        {
            msgPayload one = nullptr;
            tarnixmsgPayload_create(&one);
            auto* oneStore = static_cast<TarnixPayloadImpl*>(one)->mFields;
            TarnixFieldNode* node = nullptr;
            tarnixMsg_set(oneStore, n->field.name, n->field.nameLen, n->field.fid, n->field.type, &node);
            tarnixField_release(&node->field);
            if (tarnixField_copy(&n->field, &node->field) != MAMA_STATUS_OK)
                return 1;
            write(dir, one, v + "-" + tarnixField_typeName(n->field.type) + "-" + std::to_string(n->field.fid));
            tarnixmsgPayload_destroy(one);
        }
        tarnixmsgPayload_destroy(all);

        msgPayload empty = nullptr;
        tarnixmsgPayload_create(&empty);
        write(dir, empty, v + "-empty");
        tarnixmsgPayload_destroy(empty);
    }

    for (auto [order, name] :
         {std::pair{FidOrder::Descending, "descending"}, std::pair{FidOrder::HighestFirst, "highest-first"},
          std::pair{FidOrder::Alternating, "alternating"}})
    {
        std::vector<uint8_t> bytes = int32Message(everyFid(order, 200), 2);
        writeBytes(dir, bytes.data(), bytes.size(), std::string("v2-200-fids-") + name);
        if (order == FidOrder::Alternating)
            continue;
        bytes = int32Message(everyFid(order), 2);
        writeBytes(largeDir, bytes.data(), bytes.size(), std::string("v2-every-fid-") + name);
    }
    printf("%d seeds in %s and %s\n", gWritten, dir.c_str(), largeDir.c_str());
    return 0;
}
