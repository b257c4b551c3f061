#include "sequence_hint.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <dirent.h>
#include <map>
#include <tuple>

namespace {

// A folder of a million files is looked at in part rather than waited for.
constexpr long kMostEntriesLooked = 200000;
constexpr std::chrono::milliseconds kMostTimeLooking{500};
// An index of more digits than this does not fit the 32-bit range -sq reads.
constexpr std::size_t kMostIndexDigits = 9;

// Numbered images that differ only in their index: "shot_" 4 "png" for shot_0001.png.
using SequenceKey = std::tuple<std::string, std::size_t, std::string>;

struct FoundSequence {
    std::int64_t firstIndex = INT64_MAX;
    std::int64_t lastIndex = INT64_MIN;
    long images = 0;
};

// Splits "shot_0001.png" into its prefix, index digits and extension.
bool readNumberedName(const std::string& name, SequenceKey* key, std::int64_t* index) {
    const std::size_t point = name.rfind('.');
    if (point == std::string::npos || point == 0 || point + 1 == name.size()) return false;
    std::size_t digitsStart = point;
    while (digitsStart > 0 && std::isdigit(static_cast<unsigned char>(name[digitsStart - 1]))) {
        --digitsStart;
    }
    const std::size_t digits = point - digitsStart;
    if (digits == 0 || digits > kMostIndexDigits) return false;
    *key = SequenceKey(name.substr(0, digitsStart), digits, name.substr(point + 1));
    *index = std::stoll(name.substr(digitsStart, digits));
    return true;
}

std::string lowerCase(std::string text) {
    for (char& letter : text) {
        letter = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
    }
    return text;
}

// The base name as it was meant: a printf pattern ("shot_%04d") stands for its prefix.
std::string intendedPrefix(const std::string& baseName) {
    const std::size_t slash = baseName.rfind('/');
    std::string prefix = slash == std::string::npos ? baseName : baseName.substr(slash + 1);
    const std::size_t percent = prefix.find('%');
    if (percent != std::string::npos) prefix.resize(percent);
    return prefix;
}

std::string folderOfBase(const std::string& baseName) {
    const std::size_t slash = baseName.rfind('/');
    return slash == std::string::npos ? "" : baseName.substr(0, slash + 1);
}

std::map<SequenceKey, FoundSequence> listSequences(const std::string& folder) {
    std::map<SequenceKey, FoundSequence> sequences;
    DIR* listing = opendir(folder.empty() ? "." : folder.c_str());
    if (listing == nullptr) return sequences;
    const auto deadline = std::chrono::steady_clock::now() + kMostTimeLooking;
    long looked = 0;
    for (const dirent* entry = readdir(listing); entry != nullptr; entry = readdir(listing)) {
        SequenceKey key;
        std::int64_t index = 0;
        if (readNumberedName(entry->d_name, &key, &index)) {
            FoundSequence& found = sequences[key];
            found.firstIndex = std::min(found.firstIndex, index);
            found.lastIndex = std::max(found.lastIndex, index);
            ++found.images;
        }
        if (++looked == kMostEntriesLooked || std::chrono::steady_clock::now() > deadline) break;
    }
    closedir(listing);
    return sequences;
}

// The sequence the user most likely meant: its prefix theirs, then its extension theirs in
// any case and without a leading point, then the one with most images.
long likeness(const SequenceKey& key, const FoundSequence& found, const std::string& prefix,
              const std::string& extension) {
    std::string wantedExtension = lowerCase(extension);
    if (!wantedExtension.empty() && wantedExtension[0] == '.') wantedExtension.erase(0, 1);
    const bool samePrefix = std::get<0>(key) == prefix;
    const bool sameExtension = lowerCase(std::get<2>(key)) == wantedExtension;
    return (samePrefix ? 4L : 0L) + (sameExtension ? 2L : 0L) + (found.images > 1 ? 1L : 0L);
}

}  // namespace

std::string suggestSequence(const ConversionSettings& settings) {
    const std::string folder = folderOfBase(settings.baseName);
    const std::string prefix = intendedPrefix(settings.baseName);
    const auto sequences = listSequences(folder);
    const std::pair<const SequenceKey, FoundSequence>* best = nullptr;
    long bestLikeness = -1;
    for (const auto& sequence : sequences) {
        const long thisLikeness =
            likeness(sequence.first, sequence.second, prefix, settings.extension);
        if (thisLikeness > bestLikeness ||
            (thisLikeness == bestLikeness && sequence.second.images > best->second.images)) {
            best = &sequence;
            bestLikeness = thisLikeness;
        }
    }
    if (best == nullptr) return "";
    const auto& [foundPrefix, digits, foundExtension] = best->first;
    const FoundSequence& found = best->second;
    const std::string first = std::to_string(found.firstIndex);
    const std::string last = std::to_string(found.lastIndex);
    const auto padded = [&, digits = digits](const std::string& index) {
        return folder + foundPrefix + std::string(digits - std::min(digits, index.size()), '0') +
               index + "." + foundExtension;
    };
    return "the folder holds " + std::to_string(found.images) + " images from '" + padded(first) +
           "' to '" + padded(last) + "'; these options read them: seqcat " + folder + foundPrefix +
           " -e " + foundExtension + " -zp " + std::to_string(digits) + " -sq " + first + " " +
           last;
}
