#include "ctl/line/id_sequence.h"

#include "params/text_conversions.h"

namespace qx17::ctl {

namespace {

constexpr std::uint64_t kIdLimit = 99999999999999ULL;  // 14 digits

}  // namespace

std::optional<std::uint64_t> IdNumber(const std::string& id) {
    if (id.empty() || id.size() > 14 || !IsAllDigits(id)) {
        return std::nullopt;
    }
    return std::stoull(id);
}

void NoteGiven(GivenIds& given, const std::string& id) {
    if (!IdNumber(id)) {
        return;
    }
    auto [at, added] = given.emplace(id.size(), id);
    if (!added && id < at->second) {
        at->second = id;  // equal lengths: as text as in number
    }
}

std::string SeriesProblem(const std::string& start, const std::string& first,
                          const GivenIds& given) {
    if (given.empty()) {
        return "";
    }
    const auto same = given.find(start.size());
    if (same == given.end()) {
        const auto& [digits, lowest] = *given.rbegin();
        return "--id-start " + start + " has " + std::to_string(start.size()) +
               " digits, the IDs given out so far " + std::to_string(digits) + " (from " + lowest +
               "): --new-series starts another series all the same";
    }
    if (IdNumber(first).value_or(0) < IdNumber(same->second).value_or(0)) {
        return "--id-start " + start + " would give out " + first +
               ", below the IDs given out so far (from " + same->second +
               "): --new-series starts another series below them all the same";
    }
    return "";
}

IdSequence::IdSequence(const std::string& start)
    : first_free_(IdNumber(start).value_or(0)), width_(start.size()) {}

void IdSequence::Use(const std::string& id) {
    if (const std::optional<std::uint64_t> number = IdNumber(id)) {
        used_.insert(*number);
        // IDs are only ever added: the first free one only moves on.
        while (used_.count(first_free_) != 0) {
            ++first_free_;
        }
    }
}

std::string PaddedId(std::string digits, std::size_t width) {
    if (digits.size() < width) {
        digits.insert(0, width - digits.size(), '0');
    }
    return digits;
}

std::optional<std::string> IdSequence::NextFree() const {
    if (first_free_ > kIdLimit) {
        return std::nullopt;
    }
    return PaddedId(std::to_string(first_free_), width_);
}

bool IdSequence::HasFree(std::size_t n) const {
    std::size_t found = 0;
    for (std::uint64_t next = first_free_; found < n && next <= kIdLimit; ++next) {
        found += used_.count(next) == 0 ? 1u : 0u;
    }
    return found >= n;
}

}  // namespace qx17::ctl
