// Topic syntax checks, the wildcard trie and the NATS subject mapping.
#pragma once

#include "trxClient.h"

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace trx {

// TRXCLIENT_SUBCODE_OK or the sub-code that rejects the topic.
trxClient_subCode_t checkTopic(const char *topic);

bool topicMatches(std::string_view pattern, std::string_view topic);

// NATS tokens cannot hold whitespace, '.', empty tokens or literal '*' / '>'.
// Those bytes (and '%', control and non-ASCII bytes) become %XX; an empty
// level becomes the token "%". For patterns, '*' / '>' levels keep their
// meaning and a level ending in '*' widens to '*' (the exact test is ours).
void topicToSubject(std::string_view topic, bool pattern, std::string &out);
void subjectToTopic(std::string_view subject, std::string &out);

// Patterns split at sep into levels; matching walks the levels through hash
// maps, so the cost depends on the topic's depth, not on how many patterns
// are stored.
template <class V>
class TopicTrie {
public:
    explicit TopicTrie(char sep = '/') : sep_(sep) {}

    void insert(std::string_view pattern, V value)
    {
        Node *n = &root_;
        size_t pos = 0;
        for (;;) {
            size_t end = pattern.find(sep_, pos);
            bool last = end == std::string_view::npos;
            std::string_view level = pattern.substr(pos, last ? std::string_view::npos : end - pos);
            if (last && level == ">") {
                n->rest.push_back(value);
                ++size_;
                return;
            }
            n = child(n, level, true);
            if (last)
                break;
            pos = end + 1;
        }
        n->here.push_back(value);
        ++size_;
    }

    // Removes one value equal to `value` stored under exactly `pattern`.
    bool erase(std::string_view pattern, const V &value)
    {
        std::vector<Node *> path{&root_};
        std::vector<std::string> keys;
        Node *n = &root_;
        size_t pos = 0;
        std::vector<V> *list = nullptr;
        for (;;) {
            size_t end = pattern.find(sep_, pos);
            bool last = end == std::string_view::npos;
            std::string_view level = pattern.substr(pos, last ? std::string_view::npos : end - pos);
            if (last && level == ">") {
                list = &n->rest;
                break;
            }
            n = child(n, level, false);
            if (!n)
                return false;
            path.push_back(n);
            keys.emplace_back(level);
            if (last) {
                list = &n->here;
                break;
            }
            pos = end + 1;
        }
        auto it = std::find(list->begin(), list->end(), value);
        if (it == list->end())
            return false;
        list->erase(it);
        --size_;
        // Drop nodes that hold nothing any more, so memory follows the count.
        for (size_t i = path.size() - 1; i > 0; --i) {
            Node *node = path[i];
            if (!node->empty())
                break;
            removeChild(path[i - 1], keys[i - 1]);
        }
        return true;
    }

    // Calls f(value) for every stored pattern that matches topic.
    template <class F>
    void match(std::string_view topic, F &&f) const
    {
        levels_.clear();
        size_t pos = 0;
        for (;;) {
            size_t end = topic.find(sep_, pos);
            if (end == std::string_view::npos) {
                levels_.push_back(topic.substr(pos));
                break;
            }
            levels_.push_back(topic.substr(pos, end - pos));
            pos = end + 1;
        }
        walk(&root_, 0, f);
    }

    size_t size() const { return size_; }

private:
    struct Node {
        std::unordered_map<std::string, std::unique_ptr<Node>> exact;
        std::unique_ptr<Node> star;
        std::vector<std::pair<std::string, std::unique_ptr<Node>>> prefix;
        std::vector<V> here;
        std::vector<V> rest;
        bool empty() const
        {
            return exact.empty() && !star && prefix.empty() && here.empty() && rest.empty();
        }
    };

    Node *child(Node *n, std::string_view level, bool create)
    {
        if (level == "*") {
            if (!n->star && create)
                n->star = std::make_unique<Node>();
            return n->star.get();
        }
        if (!level.empty() && level.back() == '*') {
            std::string_view key = level.substr(0, level.size() - 1);
            for (auto &p : n->prefix)
                if (p.first == key)
                    return p.second.get();
            if (!create)
                return nullptr;
            n->prefix.emplace_back(std::string(key), std::make_unique<Node>());
            return n->prefix.back().second.get();
        }
        auto it = n->exact.find(std::string(level));
        if (it != n->exact.end())
            return it->second.get();
        if (!create)
            return nullptr;
        return n->exact.emplace(std::string(level), std::make_unique<Node>()).first->second.get();
    }

    void removeChild(Node *parent, const std::string &level)
    {
        if (level == "*") {
            parent->star.reset();
        } else if (!level.empty() && level.back() == '*') {
            std::string key = level.substr(0, level.size() - 1);
            auto &v = parent->prefix;
            v.erase(std::remove_if(v.begin(), v.end(), [&](auto &p) { return p.first == key; }), v.end());
        } else {
            parent->exact.erase(level);
        }
    }

    template <class F>
    void walk(const Node *n, size_t i, F &f) const
    {
        if (i == levels_.size()) {
            for (const V &v : n->here)
                f(v);
            return;
        }
        for (const V &v : n->rest)
            f(v);
        std::string_view level = levels_[i];
        if (!n->exact.empty()) {
            // Heterogeneous lookup is C++20; a reused key keeps this allocation-light.
            key_.assign(level.data(), level.size());
            auto it = n->exact.find(key_);
            if (it != n->exact.end())
                walk(it->second.get(), i + 1, f);
        }
        if (n->star)
            walk(n->star.get(), i + 1, f);
        for (auto &p : n->prefix)
            if (level.substr(0, p.first.size()) == p.first)
                walk(p.second.get(), i + 1, f);
    }

    char sep_;
    Node root_;
    size_t size_ = 0;
    mutable std::vector<std::string_view> levels_;
    mutable std::string key_;
};

} // namespace trx
