// dupes: remotes whose signals are the same codes as another's, or all among another's, once
// raw signals are decoded. A raw signal that does not decode counts by its exact timings.
#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "cli.h"
#include "codes.h"
#include "json.h"

namespace irlib {
namespace {

std::string Key(const Button& b) {
    if (b.decoded)
        return b.code.protocol + ":" + std::to_string(b.code.address) + ":" + std::to_string(b.code.command);
    std::string k = "raw:" + std::to_string(b.raw->frequency);
    for (uint32_t t : b.raw->timings) k += " " + std::to_string(t);
    return k;
}

std::string Label(const StoredRemote& r) { return r.manufacturer + " / " + r.type + " / " + r.model; }

}  // namespace

int RunDupes(const Args& args) {
    const std::string& file = args.positional[0];
    // Remotes with the same set of codes form one group; groups are compared for containment.
    std::vector<std::string> remotes;  // labels
    std::map<std::set<std::string>, std::vector<size_t>> groups;
    size_t unreadable = 0;
    std::string error;
    auto visit = [&](const StoredRemote& r) {
        std::set<std::string> keys;
        for (const Button& b : r.buttons) keys.insert(Key(b));
        if (!keys.empty()) groups[std::move(keys)].push_back(remotes.size());
        remotes.push_back(Label(r));
    };
    if (!ForEachRemote(file, visit, unreadable, error)) return Fail(file, error);
    std::vector<const std::set<std::string>*> sets;
    std::map<std::string, std::vector<size_t>> holders;  // code -> indices into `sets`
    for (const auto& [keys, members] : groups) {
        for (const std::string& k : keys) holders[k].push_back(sets.size());
        sets.push_back(&keys);
    }
    struct Contained { size_t set; std::vector<size_t> in; };
    std::vector<Contained> contained;
    for (size_t s = 0; s < sets.size(); ++s) {
        // Only the sets holding this set's rarest code can contain it.
        const std::vector<size_t>* rarest = nullptr;
        for (const std::string& k : *sets[s])
            if (!rarest || holders[k].size() < rarest->size()) rarest = &holders[k];
        Contained c{s, {}};
        for (size_t other : *rarest)
            if (other != s && sets[other]->size() > sets[s]->size() &&
                std::includes(sets[other]->begin(), sets[other]->end(), sets[s]->begin(), sets[s]->end()))
                c.in.push_back(other);
        if (!c.in.empty()) contained.push_back(std::move(c));
    }
    auto members = [&](size_t s) -> const std::vector<size_t>& { return groups.find(*sets[s])->second; };

    if (args.Has("--json")) {
        Json out;
        out.BeginObject().Key("identical").BeginArray();
        for (const auto& [keys, list] : groups) {
            if (list.size() < 2) continue;
            out.BeginArray();
            for (size_t i : list) out.String(remotes[i]);
            out.EndArray();
        }
        out.EndArray().Key("contained").BeginArray();
        for (const Contained& c : contained)
            for (size_t i : members(c.set)) {
                out.BeginObject().Field("remote", remotes[i]).Key("in").BeginArray();
                for (size_t o : c.in)
                    for (size_t j : members(o)) out.String(remotes[j]);
                out.EndArray().EndObject();
            }
        out.EndArray().Field("remotes", remotes.size()).Field("unreadable", unreadable).EndObject();
        std::fputs(out.Text().c_str(), stdout);
    } else {
        size_t identical = 0;
        for (const auto& [keys, list] : groups) {
            if (list.size() < 2) continue;
            ++identical;
            std::printf("identical (%zu codes):\n", keys.size());
            for (size_t i : list) std::printf("  %s\n", remotes[i].c_str());
        }
        for (const Contained& c : contained)
            for (size_t i : members(c.set)) {
                std::printf("contained: %s\n", remotes[i].c_str());
                for (size_t o : c.in)
                    for (size_t j : members(o)) std::printf("  in %s\n", remotes[j].c_str());
            }
        std::printf("%zu groups of identical remotes, %zu remotes contained in others, %zu remotes\n",
                    identical, contained.size(), remotes.size());
    }
    if (unreadable) return Fail(file, std::to_string(unreadable) + " records could not be read; not compared");
    return kExitOk;
}

}  // namespace irlib
