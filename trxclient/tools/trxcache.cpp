// trxcache: manages the JetStream stream that serves as the NATS backend's
// last-value cache. Capturing a subject costs its publishers throughput, so
// the stream holds only the topic patterns named here.
#include "tarnixVersion.h"
#include "topic.h"

#include <nats/nats.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void usage()
{
    std::fprintf(stderr,
                 "usage: trxcache [--server URL[,URL...]] [--user NAME] [--password PW] [--stream NAME]\n"
                 "                [--replicas N] COMMAND [TOPIC-PATTERN...]\n"
                 "       trxcache --version\n"
                 "commands:\n"
                 "  create PATTERN...  create the cache stream for these topic patterns, or replace them\n"
                 "  add PATTERN...     add topic patterns to the stream\n"
                 "  show               print the stream's topic patterns and how many topics it holds\n"
                 "  empty [PATTERN]    drop cached messages (all, or those of topics matching PATTERN)\n"
                 "  delete             remove the stream\n"
                 "Patterns use topic syntax: '/' between levels, '*' as a whole level, '>' as the last level.\n");
}

bool toSubject(const std::string &pattern, std::string &subject)
{
    if (trx::checkTopic(pattern.c_str()) != TRXCLIENT_SUBCODE_OK) {
        std::fprintf(stderr, "trxcache: invalid topic pattern '%s'\n", pattern.c_str());
        return false;
    }
    size_t pos = 0;
    for (;;) {
        size_t end = pattern.find('/', pos);
        std::string level = pattern.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (level.size() > 1 && level.back() == '*') {
            std::fprintf(stderr,
                         "trxcache: '%s': a level ending in '*' cannot be captured exactly; use '*' as a whole level\n",
                         pattern.c_str());
            return false;
        }
        if (end == std::string::npos)
            break;
        pos = end + 1;
    }
    trx::topicToSubject(pattern, true, subject);
    return true;
}

// JetStream puts the name into API subjects: these would address another
// subject, and the request would wait for an answer that never comes.
bool validStreamName(const std::string &name)
{
    if (name.empty() || name.size() > 255)
        return false;
    for (unsigned char c : name)
        if (c <= 0x20 || c >= 0x7f || c == '.' || c == '*' || c == '>' || c == '/' || c == '\\')
            return false;
    return true;
}

bool parseReplicas(const char *text, int &replicas)
{
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 1 || v > 5)
        return false;
    replicas = static_cast<int>(v);
    return true;
}

int check(natsStatus s, jsErrCode jerr, const char *what)
{
    if (s == NATS_OK)
        return 0;
    const char *t = nats_GetLastError(nullptr);
    std::fprintf(stderr, "trxcache: %s failed: %s%s%s (JetStream error %d)\n", what, natsStatus_GetText(s),
                 t && *t ? ": " : "", t ? t : "", static_cast<int>(jerr));
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    std::string server = "nats://127.0.0.1:4222", user, password, stream = "TRXCACHE";
    int replicas = 1;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--server")
            server = value();
        else if (a == "--user")
            user = value();
        else if (a == "--password")
            password = value();
        else if (a == "--stream")
            stream = value();
        else if (a == "--replicas") {
            const char *text = value();
            if (!parseReplicas(text, replicas)) {
                std::fprintf(stderr, "trxcache: --replicas '%s': expected a whole number from 1 to 5\n", text);
                return 2;
            }
        }
        else if (a == "--version")
            return tarnixVersion_print("trxcache");
        else if (a == "--help" || a == "-h") {
            usage();
            return 0;
        } else {
            usage();
            return 2;
        }
    }
    if (i >= argc) {
        usage();
        return 2;
    }
    if (!validStreamName(stream)) {
        std::fprintf(stderr,
                     "trxcache: --stream '%s': a stream name is 1 to 255 printable characters without spaces, "
                     "'.', '*', '>', '/' or '\\'\n",
                     stream.c_str());
        return 2;
    }
    std::string cmd = argv[i++];
    if (cmd != "create" && cmd != "add" && cmd != "show" && cmd != "empty" && cmd != "delete") {
        std::fprintf(stderr, "trxcache: unknown command '%s'\n", cmd.c_str());
        usage();
        return 2;
    }
    std::vector<std::string> subjects;
    std::vector<std::string> patterns(argv + i, argv + argc);
    for (auto &p : patterns) {
        std::string s;
        if (!toSubject(p, s))
            return 2;
        subjects.push_back(s);
    }
    if ((cmd == "create" || cmd == "add") && subjects.empty()) {
        std::fprintf(stderr, "trxcache: %s needs at least one topic pattern\n", cmd.c_str());
        return 2;
    }

    natsOptions *o = nullptr;
    natsOptions_Create(&o);
    std::vector<std::string> urls;
    for (size_t p = 0; p <= server.size();) {
        size_t e = server.find(',', p);
        urls.push_back(server.substr(p, e == std::string::npos ? std::string::npos : e - p));
        if (e == std::string::npos)
            break;
        p = e + 1;
    }
    std::vector<const char *> u;
    for (auto &x : urls)
        u.push_back(x.c_str());
    natsOptions_SetServers(o, u.data(), static_cast<int>(u.size()));
    if (!user.empty())
        natsOptions_SetUserInfo(o, user.c_str(), password.c_str());
    natsConnection *nc = nullptr;
    jsCtx *js = nullptr;
    jsErrCode jerr = static_cast<jsErrCode>(0);
    int rc = check(natsConnection_Connect(&nc, o), jerr, "connect");
    if (!rc)
        rc = check(natsConnection_JetStream(&js, nc, nullptr), jerr, "JetStream context");
    if (!rc && (cmd == "create" || cmd == "add")) {
        jsStreamInfo *si = nullptr;
        std::vector<std::string> all = subjects;
        natsStatus s = js_GetStreamInfo(&si, js, stream.c_str(), nullptr, &jerr);
        bool exists = s == NATS_OK;
        if (exists && cmd == "add") {
            for (int k = 0; k < si->Config->SubjectsLen; ++k)
                all.push_back(si->Config->Subjects[k]);
        }
        if (si)
            jsStreamInfo_Destroy(si);
        si = nullptr;
        std::vector<const char *> subj;
        for (auto &x : all)
            subj.push_back(x.c_str());
        jsStreamConfig cfg;
        jsStreamConfig_Init(&cfg);
        cfg.Name = stream.c_str();
        cfg.Subjects = subj.data();
        cfg.SubjectsLen = static_cast<int>(subj.size());
        cfg.Storage = js_MemoryStorage;
        cfg.MaxMsgsPerSubject = 1;
        cfg.AllowDirect = true;
        cfg.Replicas = replicas;
        cfg.Discard = js_DiscardOld;
        s = exists ? js_UpdateStream(&si, js, &cfg, nullptr, &jerr) : js_AddStream(&si, js, &cfg, nullptr, &jerr);
        rc = check(s, jerr, exists ? "update stream" : "create stream");
        if (!rc)
            std::printf("stream %s caches %d topic pattern(s)\n", stream.c_str(), cfg.SubjectsLen);
        if (si)
            jsStreamInfo_Destroy(si);
    } else if (!rc && cmd == "show") {
        jsStreamInfo *si = nullptr;
        rc = check(js_GetStreamInfo(&si, js, stream.c_str(), nullptr, &jerr), jerr, "stream info");
        if (!rc) {
            std::printf("stream %s: %llu cached topics, %llu bytes\n", stream.c_str(),
                        static_cast<unsigned long long>(si->State.NumSubjects),
                        static_cast<unsigned long long>(si->State.Bytes));
            for (int k = 0; k < si->Config->SubjectsLen; ++k) {
                std::string topic;
                trx::subjectToTopic(si->Config->Subjects[k], topic);
                std::printf("  %s\n", topic.c_str());
            }
            jsStreamInfo_Destroy(si);
        }
    } else if (!rc && cmd == "empty") {
        jsOptions jo;
        jsOptions_Init(&jo);
        if (!subjects.empty())
            jo.Stream.Purge.Subject = subjects[0].c_str();
        rc = check(js_PurgeStream(js, stream.c_str(), &jo, &jerr), jerr, "purge");
        if (!rc)
            std::printf("stream %s emptied%s%s\n", stream.c_str(), subjects.empty() ? "" : " for ",
                        subjects.empty() ? "" : patterns[0].c_str());
    } else if (!rc && cmd == "delete") {
        rc = check(js_DeleteStream(js, stream.c_str(), nullptr, &jerr), jerr, "delete stream");
        if (!rc)
            std::printf("stream %s deleted\n", stream.c_str());
    }
    if (js)
        jsCtx_Destroy(js);
    if (nc)
        natsConnection_Destroy(nc);
    natsOptions_Destroy(o);
    nats_Close();
    return rc;
}
