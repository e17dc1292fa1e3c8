#include "SkyTargets.h"

#include "Catalogue.h"
#include "SkyCoordinates.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";
constexpr std::string_view kEllipsis = "\xE2\x80\xA6";
// A name we made ourselves is shown whole up to this many characters.
constexpr std::size_t kLongestShownName = 80;

std::string_view withoutBlanks(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The length of the well-formed UTF-8 sequence text starts with (no
// overlong forms, surrogates or code points beyond U+10FFFF); 0 when it
// starts with none.
std::size_t sequenceLength(std::string_view text)
{
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    }
    return length;
}

// C0 and C1 controls and DEL, given a well-formed sequence.
bool isControl(std::string_view sequence)
{
    const auto lead = static_cast<unsigned char>(sequence[0]);
    if (sequence.size() == 1)
        return lead < 0x20 || lead == 0x7F;
    return sequence.size() == 2 && lead == 0xC2 && static_cast<unsigned char>(sequence[1]) < 0xA0;
}

// text as printable UTF-8 of at most longest characters.
std::string printable(std::string_view text, std::size_t longest)
{
    std::string shown;
    for (std::size_t characters = 0; !text.empty(); ++characters) {
        if (characters == longest) {
            shown += kEllipsis;
            break;
        }
        const std::size_t length = sequenceLength(text);
        const std::string_view sequence = text.substr(0, length == 0 ? 1 : length);
        shown += length == 0 || isControl(sequence) ? kReplacementCharacter : sequence;
        text.remove_prefix(sequence.size());
    }
    return shown;
}

// Coordinates that were read are named as typed: "5:35:17 -5:23:28", a tab
// between fields shown as a space. Both were read, so both are short and
// printable already; printable() keeps it so.
std::string typedName(std::string_view rightAscension, std::string_view declination)
{
    std::string typed(withoutBlanks(rightAscension));
    typed += ' ';
    typed += withoutBlanks(declination);
    std::replace(typed.begin(), typed.end(), '\t', ' ');
    return printable(typed, 2 * kLongestCoordinateText + 1);
}

ResolvedTarget refused(std::string refusal)
{
    return {std::nullopt, std::move(refusal)};
}

ResolvedTarget resolveName(std::string_view name, double julianDate)
{
    const CatalogueEntry* entry = findInCatalogue(name);
    if (!entry)
        return refused("No object named " + quotedForMessage(name) + " is in the catalogue");
    if (!std::isfinite(julianDate)) {
        return refused("No valid date to bring the catalogue position of " + displayName(*entry) + " to");
    }
    const Equatorial j2000{entry->rightAscensionHours, entry->declinationDegrees};
    return {SkyTarget{displayName(*entry), precessFromJ2000(j2000, julianDate)}, {}};
}

ResolvedTarget resolveCoordinates(std::string_view rightAscension, std::string_view declination)
{
    const std::optional<double> hours = parseRightAscension(rightAscension);
    if (!hours)
        return refused(quotedForMessage(rightAscension) + " cannot be read as a right ascension");
    const std::optional<double> degrees = parseDeclination(declination);
    if (!degrees)
        return refused(quotedForMessage(declination) + " cannot be read as a declination");
    return {SkyTarget{typedName(rightAscension, declination), Equatorial{*hours, *degrees}}, {}};
}

} // namespace

std::string quotedForMessage(std::string_view typed)
{
    std::string quoted = "\"";
    quoted += printable(withoutBlanks(typed), kLongestEcho);
    quoted += '"';
    return quoted;
}

ResolvedTarget resolveTarget(std::string_view name, std::string_view rightAscension, std::string_view declination,
                             double julianDate)
{
    name = withoutBlanks(name);
    const bool hasRightAscension = !withoutBlanks(rightAscension).empty();
    const bool hasDeclination = !withoutBlanks(declination).empty();
    if (!name.empty()) {
        if (hasRightAscension || hasDeclination) {
            return refused("Give a name, or a right ascension and a declination, not both");
        }
        return resolveName(name, julianDate);
    }
    if (!hasRightAscension && !hasDeclination)
        return refused("Give a name, or a right ascension and a declination");
    if (!hasDeclination)
        return refused("Give a declination with the right ascension");
    if (!hasRightAscension)
        return refused("Give a right ascension with the declination");
    return resolveCoordinates(rightAscension, declination);
}

std::string belowHorizonRefusal(const std::string& name, double altitudeDegrees)
{
    const std::string sentence = printable(withoutBlanks(name), kLongestShownName) + " is below the horizon";
    if (!std::isfinite(altitudeDegrees))
        return sentence;
    char altitude[32];
    const auto [end, error] =
        std::to_chars(altitude, altitude + sizeof altitude, altitudeDegrees, std::chars_format::fixed, 1);
    if (error != std::errc{})
        return sentence;
    return sentence + " (altitude " + std::string(altitude, end) + "\xC2\xB0)";
}
