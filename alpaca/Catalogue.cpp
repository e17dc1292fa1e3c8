#include "Catalogue.h"

#include <cstddef>
#include <iterator>

namespace {

#include "CatalogueData.inc"

static_assert(std::size(kCatalogueRows) == kMessierCount + kNamedStarCount);

// No name in the table comes near this; longer text is no name of it.
constexpr std::size_t kLongestName = 64;

char lowered(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Whether a and b are the same once case and blanks are set aside.
bool sameName(std::string_view a, std::string_view b)
{
    std::size_t i = 0;
    std::size_t j = 0;
    for (;;) {
        while (i < a.size() && isBlank(a[i]))
            ++i;
        while (j < b.size() && isBlank(b[j]))
            ++j;
        if (i == a.size() || j == b.size())
            return i == a.size() && j == b.size();
        if (lowered(a[i]) != lowered(b[j]))
            return false;
        ++i;
        ++j;
    }
}

bool isMessierName(std::string_view name)
{
    if (name.size() < 2 || name[0] != 'M')
        return false;
    for (char c : name.substr(1)) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

} // namespace

const std::vector<CatalogueEntry>& catalogue()
{
    static const std::vector<CatalogueEntry> entries(std::begin(kCatalogueRows), std::end(kCatalogueRows));
    return entries;
}

const CatalogueEntry* findInCatalogue(std::string_view name)
{
    if (name.size() > kLongestName)
        return nullptr;
    for (const CatalogueEntry& entry : catalogue()) {
        if (sameName(entry.name, name))
            return &entry;
    }
    return nullptr;
}

std::string displayName(const CatalogueEntry& entry)
{
    const std::string name = entry.name;
    const std::string description = entry.description;
    if (description.empty())
        return name;
    return isMessierName(name) ? name + " " + description : name + " (" + description + ")";
}
