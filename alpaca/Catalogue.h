// The objects the hand controller knows by name: the Messier objects and
// the named bright stars, J2000, from the table scripts/make-catalogue
// writes (alpaca/CatalogueData.inc).
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct CatalogueEntry {
    const char* name;        // "M42", "Vega"
    const char* description; // "Orion nebula", "NGC7089", "alf Lyr"
    double rightAscensionHours;
    double declinationDegrees;
};

// Every entry, Messier objects first (M1..M110), then the stars by name.
// Built once; the reference stays valid for the life of the process.
const std::vector<CatalogueEntry>& catalogue();

// The entry named so, ignoring case and spaces ("m42", "M 42", "vega",
// "deneb el okab"); nullptr when none.
const CatalogueEntry* findInCatalogue(std::string_view name);

// How a message names an entry: "M42 Orion nebula", "Vega (alf Lyr)".
std::string displayName(const CatalogueEntry& entry);
