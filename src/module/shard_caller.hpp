#pragma once
#include <pybind11/pybind11.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "module/arrays.hpp"

namespace vorlent::binding {

// The coordinator's view of the shards: call(method, *args) returns every shard's answer.
// Messages without an answer wait and travel with the next one that has an answer (as one
// "batch"), so that a round trip is paid only where the coordinator needs to hear back.
class ShardCaller {
public:
    explicit ShardCaller(py::function call) : call_(std::move(call)) {}

    // Both need the interpreter lock, as do the arguments' conversions.
    template <class... Args>
    py::list all(const char* method, Args&&... args) {
        py::object answers;
        if (pending_.empty()) {
            answers = call_(method, std::forward<Args>(args)...);
        } else {
            pending_.append(message(method, std::forward<Args>(args)...));
            py::list batch = pending_;
            pending_ = py::list();
            answers = call_("batch", batch);
        }
        return answers.cast<py::list>();
    }
    // Several messages that each have an answer, in one round trip after the waiting ones:
    // per message, every shard's answer.
    std::vector<py::list> several(const std::vector<py::tuple>& messages) {
        for (const py::tuple& m : messages) pending_.append(m);
        py::list batch = pending_;
        pending_ = py::list();
        const auto answered = static_cast<int64_t>(messages.size());
        std::vector<py::list> out(messages.size());
        for (const py::handle h : call_("batch", batch, answered).cast<py::list>()) {
            const auto parts = h.cast<py::list>();
            if (parts.size() != messages.size()) fail("shard message: answers of other messages");
            for (size_t j = 0; j < messages.size(); ++j) out[j].append(parts[j]);
        }
        return out;
    }
    template <class... Args>
    void post(const char* method, Args&&... args) {
        pending_.append(message(method, std::forward<Args>(args)...));
        ++posts_;
    }
    template <class... Args>
    static py::tuple message(const char* method, Args&&... args) {
        return py::make_tuple(method, py::make_tuple(std::forward<Args>(args)...));
    }
    // Messages posted so far: an answer fetched ahead holds while none was posted after it.
    int64_t posts() const { return posts_; }

private:
    py::function call_;
    py::list pending_;
    int64_t posts_ = 0;
};

}  // namespace vorlent::binding
