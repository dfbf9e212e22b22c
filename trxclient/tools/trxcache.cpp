// trxcache: manages the JetStream stream that serves as the NATS backend's
// last-value cache. Capturing a subject costs its publishers throughput, so
// the stream holds only the topic patterns named here.
#include "natsAccess.h"
#include "tarnixVersion.h"
#include "topic.h"
#include "trxClient.h"

#include <nats/nats.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace
{

const char* const kDefaultServer = "nats://127.0.0.1:4222";

// Server and credential settings as this tool's options name them.
const trx::NatsAccessNames kNames{"--server", "--user",     "--token",   "--creds",        "--nkey",
                                  "--tls-ca", "--tls-cert", "--tls-key", "--tls-no-verify"};

void usage(FILE* out)
{
    std::fprintf(out,
                 "usage: trxcache [OPTION...] COMMAND [TOPIC-PATTERN...]   (options may also follow the command)\n"
                 "commands:\n"
                 "  create PATTERN...    make the cache stream for these topic patterns\n"
                 "  add PATTERN...       add topic patterns to the stream\n"
                 "  update [PATTERN...]  replace the stream's patterns and/or change --replicas; cached values stay\n"
                 "  show                 print storage, replicas, the leader and each replica's state, the\n"
                 "                       number of cached topics and the patterns\n"
                 "  empty [PATTERN...]   drop cached values: all, or those of topics matching each PATTERN\n"
                 "  delete               remove the stream and every cached value\n"
                 "options (default):\n"
                 "  --server URL[,URL...]   nats:// or tls:// servers ($NATS_URL, else %s)\n"
                 "  --stream NAME           the cache stream (TRXCACHE)\n"
                 "  --storage file|memory   where create keeps the values (file: they survive a restart)\n"
                 "  --replicas 1|3|5        copies on a JetStream cluster, for create and update (1)\n"
                 "  --timeout SECONDS       how long to keep asking while a cluster elects a leader (10)\n"
                 "  --user NAME --password PW, --token TOKEN, --creds FILE (JWT), --nkey FILE (seed)\n"
                 "                          credentials (none)\n"
                 "  --tls-ca FILE, --tls-cert FILE --tls-key FILE, --tls-no-verify\n"
                 "                          TLS: the CA to trust, a client certificate, no host name check\n"
                 "  --version, --help\n"
                 "Patterns use topic syntax: '/' between levels, '*' as a whole level, '>' as the last level;\n"
                 "name a source with SOURCE/>. A pattern cannot start with '-'.\n",
                 kDefaultServer);
}

int usageError(const std::string& text)
{
    std::fprintf(stderr, "trxcache: %s\n(trxcache --help tells more)\n", text.c_str());
    return 2;
}

bool toSubject(const std::string& pattern, std::string& subject)
{
    if (trx::checkTopic(pattern.c_str()) != TRXCLIENT_SUBCODE_OK)
    {
        std::fprintf(stderr, "trxcache: invalid topic pattern '%s'\n", pattern.c_str());
        return false;
    }
    size_t pos = 0;
    for (;;)
    {
        size_t end = pattern.find('/', pos);
        std::string level = pattern.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (level.size() > 1 && level.back() == '*')
        {
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

std::string topicOf(const char* subject)
{
    std::string topic;
    trx::subjectToTopic(subject, topic);
    return topic;
}

// JetStream puts the name into API subjects: these would address another
// subject, and the request would wait for an answer that never comes.
bool validStreamName(const std::string& name)
{
    if (name.empty() || name.size() > 255)
        return false;
    for (unsigned char c : name)
        if (c <= 0x20 || c >= 0x7f || c == '.' || c == '*' || c == '>' || c == '/' || c == '\\')
            return false;
    return true;
}

const char* storageName(jsStorageType s)
{
    return s == js_MemoryStorage ? "memory" : "file";
}

struct Args
{
    std::string command, stream = "TRXCACHE";
    std::vector<std::string> patterns, subjects;
    int replicas = 1;
    bool replicasGiven = false, storageGiven = false;
    jsStorageType storage = js_FileStorage;
    int64_t timeoutMs = 10000;
    std::string server;
    trx::NatsAccess access;
};

// Sets one option of a, from its value; 2 (with the usage error told) for a
// value out of range.
int setOption(Args& a, const std::string& name, const std::string& value)
{
    // Options whose value is kept as given.
    const std::pair<const char*, std::string*> texts[] = {
        {"--server", &a.server},           {"--stream", &a.stream},
        {"--user", &a.access.user},        {"--password", &a.access.password},
        {"--token", &a.access.token},      {"--creds", &a.access.credsFile},
        {"--nkey", &a.access.seedFile},    {"--tls-ca", &a.access.tlsCa},
        {"--tls-cert", &a.access.tlsCert}, {"--tls-key", &a.access.tlsKey}};
    for (const auto& t : texts)
        if (name == t.first)
        {
            *t.second = value;
            return 0;
        }
    if (name == "--tls-no-verify")
        a.access.verifyHostname = false;
    else if (name == "--replicas")
    {
        if (value != "1" && value != "3" && value != "5")
            return usageError("--replicas '" + value + "': expected 1, 3 or 5 (an even count adds no fault tolerance)");
        a.replicas = value[0] - '0';
        a.replicasGiven = true;
    }
    else if (name == "--storage")
    {
        if (value != "file" && value != "memory")
            return usageError("--storage '" + value + "': expected file or memory");
        a.storage = value == "memory" ? js_MemoryStorage : js_FileStorage;
        a.storageGiven = true;
    }
    else if (name == "--timeout")
    {
        char* end = nullptr;
        errno = 0;
        double s = std::strtod(value.c_str(), &end);
        if (errno || end == value.c_str() || *end || !(s > 0) || s > 3600)
            return usageError("--timeout '" + value + "': expected seconds, more than 0 and at most 3600");
        a.timeoutMs = static_cast<int64_t>(s * 1000);
    }
    return 0;
}

// The command and its patterns (words), checked against the options; 2 for
// a usage error.
int setCommand(Args& a, const std::vector<std::string>& words)
{
    if (words.empty())
        return usageError("no command given");
    a.command = words[0];
    a.patterns.assign(words.begin() + 1, words.end());
    static const std::set<std::string> commands{"create", "add", "update", "show", "empty", "delete"};
    if (!commands.count(a.command))
        return usageError("unknown command '" + a.command + "'");
    if (!validStreamName(a.stream))
        return usageError("--stream '" + a.stream +
                          "': a stream name is 1 to 255 printable characters without spaces, "
                          "'.', '*', '>', '/' or '\\'");
    if ((a.command == "show" || a.command == "delete") && !a.patterns.empty())
        return usageError(a.command + " takes no topic pattern (got '" + a.patterns[0] + "')");
    if ((a.command == "create" || a.command == "add") && a.patterns.empty())
        return usageError(a.command + " needs at least one topic pattern");
    if (a.command == "update" && a.patterns.empty() && !a.replicasGiven && !a.storageGiven)
        return usageError("update needs topic patterns, --replicas or both");
    for (auto& p : a.patterns)
    {
        std::string s;
        if (!toSubject(p, s))
            return 2;
        a.subjects.push_back(s);
    }
    return 0;
}

// Exit codes: 0 done, 1 the broker refused or could not be asked, 2 bad
// arguments (refused before any broker is asked).
int parse(int argc, char** argv, Args& a, bool& done)
{
    done = false;
    const char* env = std::getenv("NATS_URL");
    a.server = env && *env ? env : kDefaultServer;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i)
    {
        std::string arg = argv[i];
        if (arg.empty() || arg[0] != '-')
        {
            words.push_back(arg);
            continue;
        }
        std::string name = arg, value;
        bool inlineValue = false;
        size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos)
        {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }
        static const std::set<std::string> flags{"--help", "-h", "--version", "--tls-no-verify"};
        static const std::set<std::string> valued{"--server", "--stream",   "--storage", "--replicas", "--timeout",
                                                  "--user",   "--password", "--token",   "--creds",    "--nkey",
                                                  "--tls-ca", "--tls-cert", "--tls-key"};
        if (!flags.count(name) && !valued.count(name))
            return usageError("unknown option '" + name + "' (a topic pattern cannot start with '-')");
        if (valued.count(name) && !inlineValue)
        {
            if (i + 1 >= argc)
                return usageError(name + " needs a value");
            value = argv[++i];
        }
        if (name == "--help" || name == "-h")
        {
            usage(stdout);
            done = true;
            return 0;
        }
        if (name == "--version")
        {
            done = true;
            return tarnixVersion_print("trxcache");
        }
        if (int rc = setOption(a, name, value))
            return rc;
    }
    if (int rc = setCommand(a, words))
        return rc;
    std::string err;
    if (a.access.parseUrls(a.server, kNames, err) != trx::NatsAccess::Ok ||
        a.access.check(kNames, err) != trx::NatsAccess::Ok)
    {
        std::fprintf(stderr, "trxcache: %s\n", err.c_str());
        return 2;
    }
    if (!a.access.password.empty() && a.access.user.empty())
        return usageError("--password needs --user");
    return 0;
}

class Tool
{
public:
    explicit Tool(Args& a) : mArgs(a) {}

    ~Tool()
    {
        if (mJs)
            jsCtx_Destroy(mJs);
        if (mNc)
            natsConnection_Destroy(mNc);
    }

    int run()
    {
        if (int rc = connect())
            return rc;
        if (mArgs.command == "create")
            return create();
        if (mArgs.command == "add" || mArgs.command == "update")
            return update();
        if (mArgs.command == "show")
            return show();
        if (mArgs.command == "empty")
            return empty();
        return remove();
    }

private:
    int connect()
    {
        natsOptions* o = nullptr;
        if (natsOptions_Create(&o) != NATS_OK)
            return fail("cannot create libnats options");
        std::string err;
        natsStatus st = NATS_OK;
        if (!mArgs.access.apply(o, kNames, err))
        {
            natsOptions_Destroy(o);
            return fail(err);
        }
        natsOptions_SetTimeout(o, std::min<int64_t>(mArgs.timeoutMs, 5000));
        st = natsConnection_Connect(&mNc, o);
        natsOptions_Destroy(o);
        if (st == NATS_CONNECTION_AUTH_FAILED)
            return fail("login refused by " + mArgs.server + ": " + trx::natsErrorText(st));
        if (st == NATS_NO_SERVER)
            return fail("no nats-server reachable at " + mArgs.server + ": " + trx::natsErrorText(st));
        if (st != NATS_OK)
            return fail("connect to " + mArgs.server + " failed: " + trx::natsErrorText(st));
        char url[256] = {};
        natsConnection_GetConnectedUrl(mNc, url, sizeof url);
        mUrl = url;
        jsOptions jo;
        jsOptions_Init(&jo);
        jo.Wait = std::min<int64_t>(mArgs.timeoutMs, 5000);
        st = natsConnection_JetStream(&mJs, mNc, &jo);
        if (st != NATS_OK)
            return fail("JetStream context: " + trx::natsErrorText(st));
        return 0;
    }

    int fail(const std::string& text)
    {
        std::fprintf(stderr, "trxcache: %s\n", text.c_str());
        return 1;
    }

    // The broker's refusal in words that say what is wrong and what to do.
    int refused(const char* what, natsStatus st, jsErrCode jerr)
    {
        std::string missing = trx::cacheStreamMissing(st, mArgs.stream, mUrl);
        if (!missing.empty())
            return fail(missing);
        const std::string n = std::to_string(mArgs.replicas);
        switch (static_cast<int>(jerr))
        {
            case JSStreamReplicasNotSupportedErr:
                return fail("--replicas " + n + ": " + mUrl +
                            " is a single nats-server, not a JetStream cluster; a replicated cache needs a cluster of "
                            "at least " +
                            n + " nodes (scripts/cluster.sh start)");
            case JSClusterNoPeersErr:
            case JSInsufficientResourcesErr:
                return fail("--replicas " + n + ": the JetStream cluster of " + mUrl + " has fewer than " + n +
                            " nodes able to hold a copy: " + trx::natsErrorText(st));
            case JSStreamSubjectOverlapErr:
                return fail("a pattern overlaps the subjects of another stream on " + mUrl + ": " +
                            trx::natsErrorText(st));
            default: break;
        }
        if (trx::jetStreamBusy(st, jerr))
            return fail(std::string(what) + ": no answer from the JetStream cluster of " + mUrl + " within " +
                        std::to_string(mArgs.timeoutMs / 1000.0).substr(0, 4) +
                        " s (no leader elected, or a node lost): " + trx::natsErrorText(st));
        return fail(std::string(what) + " failed: " + trx::natsErrorText(st) + " (JetStream error " +
                    std::to_string(static_cast<int>(jerr)) + ")");
    }

    // Repeats a JetStream request while the cluster only answers "not now".
    template <class F>
    natsStatus retrying(jsErrCode& jerr, F call)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(mArgs.timeoutMs);
        for (;;)
        {
            jerr = static_cast<jsErrCode>(0);
            natsStatus st = call();
            if (!trx::jetStreamBusy(st, jerr) || std::chrono::steady_clock::now() >= until)
                return st;
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    }

    natsStatus info(jsStreamInfo** si, jsErrCode& jerr)
    {
        return retrying(jerr, [&] { return js_GetStreamInfo(si, mJs, mArgs.stream.c_str(), nullptr, &jerr); });
    }

    static std::set<std::string> subjectsOf(const jsStreamConfig* c)
    {
        std::set<std::string> s;
        for (int k = 0; k < c->SubjectsLen; ++k)
            s.insert(c->Subjects[k]);
        return s;
    }

    static std::string topicsOf(const std::set<std::string>& subjects)
    {
        std::string out;
        for (auto& s : subjects)
            out += (out.empty() ? "" : ", ") + topicOf(s.c_str());
        return out;
    }

    void fillConfig(jsStreamConfig& cfg, std::vector<const char*>& subj, const std::set<std::string>& subjects,
                    int replicas, jsStorageType storage)
    {
        subj.clear();
        for (auto& s : subjects)
            subj.push_back(s.c_str());
        jsStreamConfig_Init(&cfg);
        cfg.Name = mArgs.stream.c_str();
        cfg.Subjects = subj.data();
        cfg.SubjectsLen = static_cast<int>(subj.size());
        cfg.Storage = storage;
        cfg.MaxMsgsPerSubject = 1;
        cfg.AllowDirect = true;
        cfg.Replicas = replicas;
        cfg.Discard = js_DiscardOld;
    }

    int create()
    {
        const std::set<std::string> want(mArgs.subjects.begin(), mArgs.subjects.end());
        for (int attempt = 0; attempt < 2; ++attempt)
        {
            jsStreamInfo* si = nullptr;
            jsErrCode jerr;
            natsStatus st = info(&si, jerr);
            if (st == NATS_OK)
            {
                int rc = compareExisting(si, want);
                jsStreamInfo_Destroy(si);
                return rc;
            }
            if (st != NATS_NOT_FOUND)
                return refused("stream info", st, jerr);
            jsStreamConfig cfg;
            std::vector<const char*> subj;
            fillConfig(cfg, subj, want, mArgs.replicas, mArgs.storage);
            st = retrying(jerr, [&] { return js_AddStream(&si, mJs, &cfg, nullptr, &jerr); });
            if (si)
                jsStreamInfo_Destroy(si);
            // Made meanwhile, possibly by an earlier try of ours that timed out.
            if (jerr == JSStreamNameExistErr)
                continue;
            if (st != NATS_OK)
                return refused("create", st, jerr);
            std::printf("stream %s created on %s: %s storage, %d replica%s, caching %s\n", mArgs.stream.c_str(),
                        mUrl.c_str(), storageName(mArgs.storage), mArgs.replicas, mArgs.replicas > 1 ? "s" : "",
                        topicsOf(want).c_str());
            return 0;
        }
        return fail("stream " + mArgs.stream + " keeps appearing and vanishing on " + mUrl);
    }

    // create on an existing stream: the same configuration is fine; another
    // one is reported, neither kept silently nor replaced.
    int compareExisting(const jsStreamInfo* si, const std::set<std::string>& want)
    {
        const jsStreamConfig* c = si->Config;
        const std::set<std::string> have = subjectsOf(c);
        std::vector<std::string> diffs;
        if (have != want)
            diffs.push_back("patterns " + topicsOf(have) + " (asked: " + topicsOf(want) + ")");
        if (c->Storage != mArgs.storage)
            diffs.push_back(std::string("storage ") + storageName(c->Storage) +
                            " (asked: " + storageName(mArgs.storage) + ")");
        if (c->Replicas != mArgs.replicas)
            diffs.push_back("replicas " + std::to_string(c->Replicas) + " (asked: " + std::to_string(mArgs.replicas) +
                            ")");
        if (c->MaxMsgsPerSubject != 1 || !c->AllowDirect)
            diffs.push_back("not one value per topic with direct get (made by another tool?)");
        if (diffs.empty())
        {
            std::printf("stream %s already exists on %s as asked: %s storage, %d replica%s, caching %s\n",
                        mArgs.stream.c_str(), mUrl.c_str(), storageName(c->Storage), static_cast<int>(c->Replicas),
                        c->Replicas > 1 ? "s" : "", topicsOf(have).c_str());
            return 0;
        }
        std::string text = "stream " + mArgs.stream + " already exists on " + mUrl + " with another configuration:";
        for (auto& d : diffs)
            text += "\n  " + d;
        text += "\nnothing changed. Patterns and replicas change with: trxcache update [PATTERN...] [--replicas N];"
                "\nstorage cannot change on a live stream: trxcache delete, then create";
        return fail(text);
    }

    int update()
    {
        jsStreamInfo* si = nullptr;
        jsErrCode jerr;
        natsStatus st = info(&si, jerr);
        if (st != NATS_OK)
            return refused(mArgs.command.c_str(), st, jerr);
        const jsStreamConfig* c = si->Config;
        const std::set<std::string> have = subjectsOf(c);
        std::set<std::string> want = mArgs.command == "add" || mArgs.subjects.empty() ? have : std::set<std::string>{};
        want.insert(mArgs.subjects.begin(), mArgs.subjects.end());
        const int replicas = mArgs.replicasGiven ? mArgs.replicas : static_cast<int>(c->Replicas);
        const jsStorageType storage = c->Storage;
        const bool clustered = si->Cluster != nullptr;
        const uint64_t kept = si->State.NumSubjects;
        jsStreamInfo_Destroy(si);
        if (mArgs.storageGiven && mArgs.storage != storage)
            return fail(std::string("--storage ") + storageName(mArgs.storage) + ": stream " + mArgs.stream +
                        " keeps " + storageName(storage) +
                        " storage; storage cannot change on a live stream (trxcache delete, "
                        "then create)");
        // A single server takes a replica count it cannot honour: refuse it here.
        if (replicas > 1 && !clustered)
            return refused(mArgs.command.c_str(), NATS_ERR, JSStreamReplicasNotSupportedErr);
        jsStreamConfig cfg;
        std::vector<const char*> subj;
        fillConfig(cfg, subj, want, replicas, storage);
        si = nullptr;
        st = retrying(jerr, [&] { return js_UpdateStream(&si, mJs, &cfg, nullptr, &jerr); });
        if (si)
            jsStreamInfo_Destroy(si);
        if (st != NATS_OK)
            return refused(mArgs.command.c_str(), st, jerr);
        std::printf("stream %s on %s: %d replica%s, caching %s; %llu cached topics kept\n", mArgs.stream.c_str(),
                    mUrl.c_str(), replicas, replicas > 1 ? "s" : "", topicsOf(want).c_str(),
                    static_cast<unsigned long long>(kept));
        std::set<std::string> dropped;
        std::set_difference(have.begin(), have.end(), want.begin(), want.end(),
                            std::inserter(dropped, dropped.begin()));
        if (!dropped.empty())
            std::printf("no longer captured: %s; their cached values stay until: trxcache empty PATTERN\n",
                        topicsOf(dropped).c_str());
        return 0;
    }

    int show()
    {
        jsStreamInfo* si = nullptr;
        jsErrCode jerr;
        natsStatus st = info(&si, jerr);
        if (st != NATS_OK)
            return refused("show", st, jerr);
        const jsStreamConfig* c = si->Config;
        std::printf("stream %s on %s\n", mArgs.stream.c_str(), mUrl.c_str());
        std::printf("  storage:       %s\n", storageName(c->Storage));
        if (!si->Cluster)
        {
            std::printf("  replicas:      %d (a single server, no cluster)\n", static_cast<int>(c->Replicas));
        }
        else
        {
            const jsClusterInfo* cl = si->Cluster;
            std::printf("  replicas:      %d (cluster %s)\n", static_cast<int>(c->Replicas), cl->Name ? cl->Name : "?");
            std::printf("  leader:        %s\n", cl->Leader && *cl->Leader ? cl->Leader : "none (electing one)");
            for (int k = 0; k < cl->ReplicasLen; ++k)
            {
                const jsPeerInfo* p = cl->Replicas[k];
                // A node just lost is not offline yet for JetStream: how long
                // ago it was seen tells.
                std::string state = p->Offline ? "offline" : p->Current ? "current" : "not current";
                if (!p->Offline)
                {
                    char seen[64];
                    std::snprintf(seen, sizeof seen, ", seen %.1f s ago, ", static_cast<double>(p->Active) / 1e9);
                    state += seen + std::to_string(p->Lag) + " operations behind";
                }
                std::printf("  replica:       %s %s\n", p->Name ? p->Name : "?", state.c_str());
            }
        }
        std::printf("  cached topics: %llu (%llu bytes)\n", static_cast<unsigned long long>(si->State.NumSubjects),
                    static_cast<unsigned long long>(si->State.Bytes));
        std::printf("  patterns:\n");
        for (auto& s : subjectsOf(c))
            std::printf("    %s\n", topicOf(s.c_str()).c_str());
        if (c->MaxMsgsPerSubject != 1 || !c->AllowDirect)
            std::printf("  warning: not one value per topic with direct get; the cache cannot use it as it is\n");
        jsStreamInfo_Destroy(si);
        return 0;
    }

    int empty()
    {
        std::vector<std::string> filters = mArgs.subjects;
        if (filters.empty())
            filters.push_back("");
        for (auto& f : filters)
        {
            jsOptions jo;
            jsOptions_Init(&jo);
            jo.Stream.Purge.Subject = f.empty() ? nullptr : f.c_str();
            jsErrCode jerr;
            natsStatus st = retrying(jerr, [&] { return js_PurgeStream(mJs, mArgs.stream.c_str(), &jo, &jerr); });
            if (st != NATS_OK)
                return refused("empty", st, jerr);
        }
        std::string which;
        for (auto& p : mArgs.patterns)
            which += (which.empty() ? " for " : ", ") + p;
        std::printf("stream %s emptied%s\n", mArgs.stream.c_str(), which.c_str());
        return 0;
    }

    int remove()
    {
        jsErrCode jerr;
        int tries = 0;
        natsStatus st = retrying(jerr,
                                 [&]
                                 {
                                     ++tries;
                                     return js_DeleteStream(mJs, mArgs.stream.c_str(), nullptr, &jerr);
                                 });
        // A try that timed out while the cluster was busy may have deleted it.
        if (st == NATS_NOT_FOUND && tries > 1)
            st = NATS_OK;
        if (st != NATS_OK)
            return refused("delete", st, jerr);
        std::printf("stream %s deleted\n", mArgs.stream.c_str());
        return 0;
    }

    Args& mArgs;
    natsConnection* mNc = nullptr;
    jsCtx* mJs = nullptr;
    std::string mUrl;
};

} // namespace

int main(int argc, char** argv)
{
    Args a;
    bool done = false;
    if (int rc = parse(argc, argv, a, done))
        return rc;
    if (done)
        return 0;
    int rc;
    {
        Tool tool(a);
        rc = tool.run();
    }
    nats_Close();
    return rc;
}
