/* tarnixdict: loads an OpenMAMA data dictionary file and publishes it as the
 * dictionary message, so that OpenMAMA's dictionary requests (source WOMBAT,
 * symbol DATA_DICT by default) find it: once on the dictionary topic the
 * broker's cache keeps, and, with -serve, as the answer to every dictionary
 * request published to a transport that does not use the cache. */
#include <mama/mama.h>
#include <mama/dictionary.h>
#include <mama/reservedfields.h>
#include <mama/subscmsgtype.h>

#include "inProcess.h"
#include "tarnixVersion.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

namespace
{

struct Options
{
    std::string middleware = "tarnix";
    std::string payload = "tarnixmsg";
    std::string transport = "nats";
    std::string source = "WOMBAT";
    std::string symbol = "DATA_DICT";
    std::string file;
    bool serve = false;
};

struct Server
{
    mamaPublisher publisher = nullptr;
    mamaMsg dictionary = nullptr;
    std::atomic<int> answered{0};
};

int usage(const char* program)
{
    std::fprintf(stderr,
                 "usage: %s -f DICTIONARY_FILE [-m middleware(tarnix)] [-p payload(tarnixmsg)]\n"
                 "          [-tport transport(nats)] [-S source(WOMBAT)] [-s symbol(DATA_DICT)] [-serve]\n"
                 "Publishes the dictionary for the broker's cache; with -serve it also answers\n"
                 "dictionary requests until interrupted.\n"
                 "       %s --version\n",
                 program, program);
    return 2;
}

bool parse(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        auto value = [&](std::string& out)
        {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        bool ok = true;
        if (arg == "-m")
            ok = value(options.middleware);
        else if (arg == "-p")
            ok = value(options.payload);
        else if (arg == "-tport")
            ok = value(options.transport);
        else if (arg == "-S")
            ok = value(options.source);
        else if (arg == "-s")
            ok = value(options.symbol);
        else if (arg == "-f")
            ok = value(options.file);
        else if (arg == "-serve")
            options.serve = true;
        else
            ok = false;
        if (!ok)
            return false;
    }
    return !options.file.empty();
}

bool check(mama_status status, const char* what)
{
    if (status == MAMA_STATUS_OK)
        return true;
    std::fprintf(stderr, "tarnixdict: %s failed: %s\n", what, mamaStatus_stringForStatus(status));
    return false;
}

/* The dictionary message already holds a field for every entry of the file,
 * the header fields included, typed as the file says (U8 in OpenMAMA's). */
mama_status setHeader(mamaMsg msg, const MamaReservedField& field, int value)
{
    mama_status status = mamaMsg_updateU8(msg, field.mName, field.mFid, static_cast<mama_u8_t>(value));
    if (status == MAMA_STATUS_WRONG_FIELD_TYPE)
        status = mamaMsg_updateI32(msg, field.mName, field.mFid, value);
    return status;
}

void MAMACALLTYPE onRequest(mamaSubscription, mamaMsg request, void* closure, void*)
{
    Server* server = static_cast<Server*>(closure);
    if (!mamaMsg_isFromInbox(request))
        return;
    int32_t type = -1;
    mamaMsg_getI32(request, MamaFieldSubscMsgType.mName, MamaFieldSubscMsgType.mFid, &type);
    if (type != MAMA_SUBSC_DDICT_SNAPSHOT)
        return;
    if (mamaPublisher_sendReplyToInbox(server->publisher, request, server->dictionary) == MAMA_STATUS_OK)
        ++server->answered;
}

void MAMACALLTYPE onError(mamaSubscription, mama_status status, void*, const char* subject, void*)
{
    std::fprintf(stderr, "tarnixdict: subscription error on %s: %s\n", subject != nullptr ? subject : "",
                 mamaStatus_stringForStatus(status));
}

void MAMACALLTYPE onCreate(mamaSubscription, void*) {}

mamaBridge gBridge = nullptr;

void stop(int)
{
    mama_stop(gBridge);
}

int run(const Options& options)
{
    /* Subscribers and the cache read the dictionary as tarnixmsg. */
    if (options.payload != "tarnixmsg")
    {
        std::fprintf(stderr,
                     "tarnixdict: payload '%s' is not supported: the dictionary is published as tarnixmsg, the "
                     "payload the tarnix middleware's subscribers decode (leave -p out)\n",
                     options.payload.c_str());
        return 2;
    }
    mamaPayloadBridge payload = nullptr;
    if (!check(mama_loadBridge(&gBridge, options.middleware.c_str()), "loading the middleware") ||
        !check(mama_loadPayloadBridge(&payload, options.payload.c_str()), "loading the payload") ||
        !check(mama_open(), "mama_open"))
        return 1;
    const std::string inProcess = tarnixInProcessBroker(options.middleware, options.transport);
    if (!inProcess.empty())
    {
        std::fprintf(stderr,
                     "tarnixdict: transport '%s' uses the in-process broker %s: a dictionary published there dies "
                     "with this process. Use a transport whose SESSION_HOST is a nats:// server (-tport nats, the "
                     "default)\n",
                     options.transport.c_str(), inProcess.c_str());
        mama_close();
        return 2;
    }

    int rc = 1;
    mamaDictionary dictionary = nullptr;
    mamaTransport transport = nullptr;
    Server server;
    mamaSubscription requests = nullptr;
    mama_size_t fields = 0;
    do
    {
        if (!check(mamaDictionary_create(&dictionary), "creating the dictionary") ||
            !check(mamaDictionary_populateFromFile(dictionary, options.file.c_str()),
                   ("reading " + options.file).c_str()))
            break;
        mamaDictionary_getSize(dictionary, &fields);
        if (fields == 0)
        {
            std::fprintf(stderr, "tarnixdict: %s holds no fields\n", options.file.c_str());
            break;
        }
        if (!check(mamaMsg_createForPayloadBridge(&server.dictionary, payload), "creating the message") ||
            !check(mamaDictionary_fillDictionaryMessage(dictionary, &server.dictionary), "building the message") ||
            !check(setHeader(server.dictionary, MamaFieldMsgType, MAMA_MSG_TYPE_DDICT_SNAPSHOT),
                   "setting the message type") ||
            !check(setHeader(server.dictionary, MamaFieldMsgStatus, MAMA_MSG_STATUS_OK), "setting the message status"))
            break;
        if (!check(mamaTransport_allocate(&transport), "allocating the transport") ||
            !check(mamaTransport_create(transport, options.transport.c_str(), gBridge), "creating the transport"))
            break;
        /* Without a root, a SOURCE/DATA_DICT publisher writes to the topic the
         * cache is asked for dictionary requests. */
        if (!check(mamaPublisher_create(&server.publisher, transport, options.symbol.c_str(), options.source.c_str(),
                                        nullptr),
                   "creating the publisher") ||
            !check(mamaPublisher_send(server.publisher, server.dictionary), "publishing the dictionary"))
            break;
        std::printf("tarnixdict: published %zu fields from %s as %s.%s\n", static_cast<size_t>(fields),
                    options.file.c_str(), options.source.c_str(), options.symbol.c_str());
        std::fflush(stdout);
        rc = 0;
        if (!options.serve)
            break;

        mamaQueue queue = nullptr;
        mama_getDefaultEventQueue(gBridge, &queue);
        mamaMsgCallbacks callbacks{};
        callbacks.onCreate = onCreate;
        callbacks.onError = onError;
        callbacks.onMsg = onRequest;
        const std::string requestTopic = "_MDDD." + options.source + "." + options.symbol;
        if (!check(mamaSubscription_allocate(&requests), "allocating the request subscription") ||
            !check(mamaSubscription_createBasic(requests, transport, queue, &callbacks, requestTopic.c_str(), &server),
                   "subscribing to dictionary requests"))
        {
            rc = 1;
            break;
        }
        std::signal(SIGINT, stop);
        std::signal(SIGTERM, stop);
        std::printf("tarnixdict: answering dictionary requests on %s until interrupted\n", requestTopic.c_str());
        std::fflush(stdout);
        mama_start(gBridge);
        std::printf("tarnixdict: answered %d requests\n", server.answered.load());
    } while (false);

    if (requests != nullptr)
    {
        mamaSubscription_destroy(requests);
        mamaSubscription_deallocate(requests);
    }
    if (server.publisher != nullptr)
        mamaPublisher_destroy(server.publisher);
    if (transport != nullptr)
        mamaTransport_destroy(transport);
    if (server.dictionary != nullptr)
        mamaMsg_destroy(server.dictionary);
    if (dictionary != nullptr)
        mamaDictionary_destroy(dictionary);
    mama_close();
    return rc;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return tarnixVersion_print("tarnixdict");
    Options options;
    if (!parse(argc, argv, options))
        return usage(argv[0]);
    return run(options);
}
