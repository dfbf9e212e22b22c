// Topic syntax checks, the wildcard trie and the NATS subject mapping.
#pragma once

#include "trxClient.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace trx
{

// TRXCLIENT_SUBCODE_OK or the sub-code that rejects the topic.
trxClient_subCode_t checkTopic(const char* topic);

bool topicMatches(std::string_view pattern, std::string_view topic);

// NATS tokens cannot hold whitespace, '.', empty tokens or literal '*' / '>'.
// Those bytes (and '%', control and non-ASCII bytes) become %XX; an empty
// level becomes the token "%". For patterns, '*' / '>' levels keep their
// meaning and a level ending in '*' widens to '*' (the exact test is ours).
void topicToSubject(std::string_view topic, bool pattern, std::string& out);
// False when an escape decodes to a NUL byte ("%00"): no topic holds one,
// and C callers would see the topic cut short there.
bool subjectToTopic(std::string_view subject, std::string& out);

// The values stored under one pattern, in insertion order. Nearly every
// pattern has exactly one, so a single value lives inline and only a second
// one takes an allocation: a trie keeps one list per subscribed topic.
template <class V>
class ValueList
{
    static_assert(std::is_trivially_copyable_v<V>, "values are handles such as pointers");

public:
    ValueList() = default;
    ValueList(ValueList&& o) noexcept { take(o); }
    ValueList& operator=(ValueList&& o) noexcept
    {
        if (this != &o)
        {
            release();
            take(o);
        }
        return *this;
    }
    ~ValueList() { release(); }

    bool empty() const { return mSize == 0; }
    V* begin() { return mCap == 1 ? &mValues.one : mValues.many; }
    V* end() { return begin() + mSize; }
    const V* begin() const { return mCap == 1 ? &mValues.one : mValues.many; }
    const V* end() const { return begin() + mSize; }

    void push_back(V v)
    {
        if (mSize == mCap)
        {
            V* many = new V[mCap * 2];
            std::copy(begin(), end(), many);
            uint32_t cap = mCap * 2;
            release();
            mValues.many = many;
            mCap = cap;
        }
        begin()[mSize++] = v;
    }

    // Removes the value at it; the others keep their order.
    void erase(V* it)
    {
        std::copy(it + 1, end(), it);
        --mSize;
    }

private:
    void release()
    {
        if (mCap > 1)
            delete[] mValues.many;
        mCap = 1;
    }

    void take(ValueList& o)
    {
        mValues = o.mValues;
        mSize = o.mSize;
        mCap = o.mCap;
        o.mSize = 0;
        o.mCap = 1;
    }

    union
    {
        V one;
        V* many;
    } mValues{};
    uint32_t mSize = 0, mCap = 1;
};

// Patterns split at sep into levels; matching walks the levels through hash
// maps, so the cost depends on the topic's depth, not on how many patterns
// are stored. Nodes are small: most of them are leaves (one per subscribed
// topic), so what only inner nodes need lives behind one pointer.
template <class V>
class TopicTrie
{
public:
    explicit TopicTrie(char sep = '/') : mSep(sep) {}

    void insert(std::string_view pattern, V value)
    {
        Node* n = &mRoot;
        size_t pos = 0;
        for (;;)
        {
            size_t end = pattern.find(mSep, pos);
            bool last = end == std::string_view::npos;
            std::string_view level = pattern.substr(pos, last ? std::string_view::npos : end - pos);
            if (last && level == ">")
            {
                branches(n).rest.push_back(value);
                ++mSize;
                return;
            }
            n = child(n, level, true);
            if (last)
                break;
            pos = end + 1;
        }
        n->here.push_back(value);
        ++mSize;
    }

    // Removes one value equal to `value` stored under exactly `pattern`.
    bool erase(std::string_view pattern, const V& value)
    {
        std::vector<Node*> path;
        std::vector<std::string_view> keys;
        ValueList<V>* list = find(pattern, &path, &keys);
        if (!list)
            return false;
        auto it = std::find(list->begin(), list->end(), value);
        if (it == list->end())
            return false;
        list->erase(it);
        --mSize;
        // Drop what holds nothing any more, so memory follows the count.
        for (size_t i = path.size() - 1;; --i)
        {
            Node* node = path[i];
            if (node->more && node->more->empty())
                node->more.reset();
            if (i == 0 || !node->empty())
                break;
            removeChild(path[i - 1], keys[i - 1]);
        }
        return true;
    }

    // The values stored under exactly `pattern`, oldest first; null when none.
    ValueList<V>* values(std::string_view pattern) { return find(pattern, nullptr, nullptr); }

    // Calls f(value) for every stored pattern that matches topic.
    template <class F>
    void match(std::string_view topic, F&& f) const
    {
        mLevels.clear();
        size_t pos = 0;
        for (;;)
        {
            size_t end = topic.find(mSep, pos);
            if (end == std::string_view::npos)
            {
                mLevels.push_back(topic.substr(pos));
                break;
            }
            mLevels.push_back(topic.substr(pos, end - pos));
            pos = end + 1;
        }
        walk(&mRoot, 0, f);
    }

    // Calls f(value) for every stored value.
    template <class F>
    void forEach(F&& f) const
    {
        visit(&mRoot, f);
    }

    void clear()
    {
        mRoot = Node();
        mSize = 0;
    }

    size_t size() const { return mSize; }

private:
    struct Branches;
    struct Node
    {
        ValueList<V> here;              // patterns that end at this level
        std::unique_ptr<Branches> more; // only when there is something below
        bool empty() const { return here.empty() && !more; }
    };
    struct Branches
    {
        std::unordered_map<std::string, Node> exact; // nodes stay put when the map grows
        std::unique_ptr<Node> star;
        std::vector<std::pair<std::string, std::unique_ptr<Node>>> prefix;
        ValueList<V> rest; // patterns ending in '>' at this level
        bool empty() const { return exact.empty() && !star && prefix.empty() && rest.empty(); }
    };

    static Branches& branches(Node* n)
    {
        if (!n->more)
            n->more = std::make_unique<Branches>();
        return *n->more;
    }

    Node* child(Node* n, std::string_view level, bool create)
    {
        if (!n->more && !create)
            return nullptr;
        if (level == "*")
        {
            if (!create)
                return n->more->star.get();
            Branches& b = branches(n);
            if (!b.star)
                b.star = std::make_unique<Node>();
            return b.star.get();
        }
        if (!level.empty() && level.back() == '*')
        {
            std::string_view key = level.substr(0, level.size() - 1);
            if (n->more)
                for (auto& p : n->more->prefix)
                    if (p.first == key)
                        return p.second.get();
            if (!create)
                return nullptr;
            auto& v = branches(n).prefix;
            v.emplace_back(std::string(key), std::make_unique<Node>());
            return v.back().second.get();
        }
        if (!create)
        {
            auto it = n->more->exact.find(std::string(level));
            return it != n->more->exact.end() ? &it->second : nullptr;
        }
        return &branches(n).exact.try_emplace(std::string(level)).first->second;
    }

    // The value list stored under exactly `pattern`; with path and keys, the
    // nodes walked (root first) and the levels that led to each after the root.
    ValueList<V>* find(std::string_view pattern, std::vector<Node*>* path, std::vector<std::string_view>* keys)
    {
        Node* n = &mRoot;
        if (path)
            path->push_back(n);
        size_t pos = 0;
        for (;;)
        {
            size_t end = pattern.find(mSep, pos);
            bool last = end == std::string_view::npos;
            std::string_view level = pattern.substr(pos, last ? std::string_view::npos : end - pos);
            if (last && level == ">")
                return n->more ? &n->more->rest : nullptr;
            n = child(n, level, false);
            if (!n)
                return nullptr;
            if (path)
            {
                path->push_back(n);
                keys->push_back(level);
            }
            if (last)
                return &n->here;
            pos = end + 1;
        }
    }

    void removeChild(Node* parent, std::string_view level)
    {
        Branches& b = *parent->more;
        if (level == "*")
        {
            b.star.reset();
        }
        else if (!level.empty() && level.back() == '*')
        {
            std::string_view key = level.substr(0, level.size() - 1);
            auto& v = b.prefix;
            v.erase(std::remove_if(v.begin(), v.end(), [&](auto& p) { return p.first == key; }), v.end());
        }
        else
        {
            b.exact.erase(std::string(level));
        }
        if (b.empty())
            parent->more.reset();
    }

    template <class F>
    void walk(const Node* n, size_t i, F& f) const
    {
        if (i == mLevels.size())
        {
            for (const V& v : n->here)
                f(v);
            return;
        }
        if (!n->more)
            return;
        const Branches& b = *n->more;
        for (const V& v : b.rest)
            f(v);
        std::string_view level = mLevels[i];
        if (!b.exact.empty())
        {
            // Heterogeneous lookup is C++20; a reused key keeps this allocation-light.
            mKey.assign(level.data(), level.size());
            auto it = b.exact.find(mKey);
            if (it != b.exact.end())
                walk(&it->second, i + 1, f);
        }
        if (b.star)
            walk(b.star.get(), i + 1, f);
        for (auto& p : b.prefix)
            if (level.substr(0, p.first.size()) == p.first)
                walk(p.second.get(), i + 1, f);
    }

    template <class F>
    static void visit(const Node* n, F& f)
    {
        for (const V& v : n->here)
            f(v);
        if (!n->more)
            return;
        const Branches& b = *n->more;
        for (const V& v : b.rest)
            f(v);
        for (auto& p : b.exact)
            visit(&p.second, f);
        if (b.star)
            visit(b.star.get(), f);
        for (auto& p : b.prefix)
            visit(p.second.get(), f);
    }

    char mSep;
    Node mRoot;
    size_t mSize = 0;
    mutable std::vector<std::string_view> mLevels;
    mutable std::string mKey;
};

} // namespace trx
