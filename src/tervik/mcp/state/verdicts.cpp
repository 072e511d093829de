#include "state/verdicts.hpp"

#include <utility>
#include <vector>

namespace verdicts {

const py::Object* Flights::find(const Fingerprint& key) const {
    auto found = flights_.find(key);
    return found == flights_.end() ? nullptr : &found->second.task;
}

void Flights::start(const Fingerprint& key, std::uint64_t ticket, py::Object task) {
    drop(key);
    flights_.emplace(key, Flight{std::move(task), ticket});
}

void Flights::end(const Fingerprint& key, std::uint64_t ticket) {
    auto found = flights_.find(key);
    if (found == flights_.end() || found->second.ticket != ticket) return;
    py::Object task = std::move(found->second.task);
    flights_.erase(found);
}

void Flights::drop(const Fingerprint& key) {
    auto found = flights_.find(key);
    if (found == flights_.end()) return;
    py::Object task = std::move(found->second.task);
    flights_.erase(found);
}

int Flights::traverse(visitproc visit, void* arg) {
    for (auto& [key, flight] : flights_) Py_VISIT(flight.task.get());
    return 0;
}

void Flights::clear() {
    auto flights = std::move(flights_);
    flights_.clear();
}

}  // namespace verdicts
