// The compiled interface as clients see it: every member of the type
// library with its dispatch identifier, kind, parameters, flags and help.
#include "ComTest.h"

#include <sstream>

namespace {

struct Member {
    const char* name;
    const char* kind;   // get, put or method
    DISPID id;
    const char* parameters;   // "type name flags; ..." with name "-" when unnamed
};

const Member kMembers[] = {
    {"AlignmentMode", "get", 1, "AlignmentModes* pVal out retval"},
    {"Altitude", "get", 2, "double* Alt out retval"},
    {"ApertureArea", "get", 3, "double* dV out retval"},
    {"ApertureDiameter", "get", 4, "double* dV out retval"},
    {"AtHome", "get", 5, "VARIANT_BOOL* bV out retval"},
    {"AtPark", "get", 6, "VARIANT_BOOL* bV out retval"},
    {"Azimuth", "get", 7, "double* dV out retval"},
    {"CanFindHome", "get", 8, "VARIANT_BOOL* bV out retval"},
    {"CanPark", "get", 9, "VARIANT_BOOL* bV out retval"},
    {"CanPulseGuide", "get", 10, "VARIANT_BOOL* bV out retval"},
    {"CanSetDeclinationRate", "get", 11, "VARIANT_BOOL* bV out retval"},
    {"CanSetGuideRates", "get", 12, "VARIANT_BOOL* bV out retval"},
    {"CanSetPark", "get", 13, "VARIANT_BOOL* bV out retval"},
    {"CanSetPierSide", "get", 14, "VARIANT_BOOL* bV out retval"},
    {"CanSetRightAscensionRate", "get", 15, "VARIANT_BOOL* bV out retval"},
    {"CanSetTracking", "get", 16, "VARIANT_BOOL* bV out retval"},
    {"CanSlew", "get", 17, "VARIANT_BOOL* bV out retval"},
    {"CanSlewAltAz", "get", 18, "VARIANT_BOOL* bV out retval"},
    {"CanSlewAltAzAsync", "get", 19, "VARIANT_BOOL* bV out retval"},
    {"CanSlewAsync", "get", 20, "VARIANT_BOOL* bV out retval"},
    {"CanSync", "get", 21, "VARIANT_BOOL* bV out retval"},
    {"CanSyncAltAz", "get", 22, "VARIANT_BOOL* bV out retval"},
    {"CanUnpark", "get", 23, "VARIANT_BOOL* bV out retval"},
    {"Connected", "get", 24, "VARIANT_BOOL* bV out retval"},
    {"Connected", "put", 24, "VARIANT_BOOL - in"},
    {"Declination", "get", 25, "double* dV out retval"},
    {"DeclinationRate", "get", 26, "double* dV out retval"},
    {"DeclinationRate", "put", 26, "double - in"},
    {"Description", "get", 27, "BSTR* pVal out retval"},
    {"DoesRefraction", "get", 28, "VARIANT_BOOL* pVal out retval"},
    {"DoesRefraction", "put", 28, "VARIANT_BOOL* - in"},
    {"DriverInfo", "get", 29, "BSTR* pVal out retval"},
    {"DriverVersion", "get", 30, "BSTR* pVal out retval"},
    {"EquatorialSystem", "get", 31, "int* pVal out retval"},
    {"FocalLength", "get", 32, "double* pVal out retval"},
    {"GuideRateDeclination", "get", 33, "double* pVal out retval"},
    {"GuideRateDeclination", "put", 33, "double* - in"},
    {"GuideRateRightAscension", "get", 34, "double* pVal out retval"},
    {"GuideRateRightAscension", "put", 34, "double* - in"},
    {"InterfaceVersion", "get", 35, "int* pVal out retval"},
    {"IsPulseGuiding", "get", 36, "VARIANT_BOOL* pVal out retval"},
    {"Name", "get", 37, "BSTR* pVal out retval"},
    {"RightAscension", "get", 38, "double* pVal out retval"},
    {"RightAscensionRate", "get", 39, "double* pVal out retval"},
    {"RightAscensionRate", "put", 39, "double - in"},
    {"SideOfPier", "get", 40, "int* pVal out retval"},
    {"SideOfPier", "put", 40, "int* - in"},
    {"SiderealTime", "get", 41, "double* pVal out retval"},
    {"SiteElevation", "get", 42, "double* pVal out retval"},
    {"SiteElevation", "put", 42, "double - in"},
    {"SiteLatitude", "get", 43, "double* pVal out retval"},
    {"SiteLatitude", "put", 43, "double - in"},
    {"SiteLongitude", "get", 44, "double* pVal out retval"},
    {"SiteLongitude", "put", 44, "double - in"},
    {"Slewing", "get", 45, "VARIANT_BOOL* pVal out retval"},
    {"SlewSettleTime", "get", 46, "int* iV out retval"},
    {"SlewSettleTime", "put", 46, "int - in"},
    {"TargetDeclination", "get", 48, "double* pVal out retval"},
    {"TargetDeclination", "put", 48, "double - in"},
    {"TargetRightAscension", "get", 49, "double* pVal out retval"},
    {"TargetRightAscension", "put", 49, "double - in"},
    {"Tracking", "get", 50, "VARIANT_BOOL* pVal out retval"},
    {"Tracking", "put", 50, "VARIANT_BOOL - in"},
    {"TrackingRate", "get", 51, "TrackingModes* pVal out retval"},
    {"TrackingRate", "put", 51, "TrackingModes* - in"},
    {"TrackingRates", "get", 52, "TrackingModes* pVal out retval"},
    {"UTCDate", "get", 53, "DATE* pVal out retval"},
    {"UTCDate", "put", 53, "DATE - in"},
    {"AbortSlew", "method", 101, ""},
    {"AxisRates", "method", 103, "int axis in"},
    {"CanMoveAxis", "method", 104, "int axis in; VARIANT_BOOL* pVal out retval"},
    {"CommandBlind", "method", 105, "BSTR Command none"},
    {"CommandBool", "method", 106, "BSTR Command none"},
    {"CommandString", "method", 107, "BSTR Command none"},
    {"DestinationSideOfPier", "method", 108, "double RA in; double Dec none"},
    {"Dispose", "method", 109, ""},
    {"FindHome", "method", 110, ""},
    {"MoveAxis", "method", 111, "int axis in; int rate none"},
    {"Park", "method", 112, ""},
    {"PulseGuide", "method", 113, "GuideDirections Direction none; long Duration none"},
    {"SetPark", "method", 114, ""},
    {"SetupDialog", "method", 115, ""},
    {"SlewToAltAz", "method", 116, "double Azi in; double Alt none"},
    {"SlewToAltAzAsync", "method", 117, "double Azi in; double Alt none"},
    {"SlewToCoordinates", "method", 118, "double RightAscension none; double Declination none"},
    {"SlewToCoordinatesAsync", "method", 119, "double RightAscension none; double Declination none"},
    {"SlewToTarget", "method", 120, ""},
    {"SlewToTargetAsync", "method", 121, ""},
    {"SyncToAltAz", "method", 122, "double Azi none; double Alt none"},
    {"SyncToCoordinates", "method", 123, "double RightAscension none; double Declination none"},
    {"SyncToTarget", "method", 124, ""},
    {"Unpark", "method", 125, ""},
};

std::string narrow(const BSTR text)
{
    std::string result;
    for (UINT i = 0; text && i < SysStringLen(text); ++i)
        result += char(text[i]);
    return result;
}

// The automation type name of a parameter as the table writes it.
std::string typeName(ITypeInfo* info, const TYPEDESC& type)
{
    if (type.vt == VT_PTR)
        return typeName(info, *type.lptdesc) + "*";
    switch (type.vt) {
    case VT_R8: return "double";
    case VT_BOOL: return "VARIANT_BOOL";
    case VT_BSTR: return "BSTR";
    case VT_INT: return "int";
    case VT_I4: return "long";
    case VT_DATE: return "DATE";
    case VT_USERDEFINED: {
        ITypeInfo* referenced = nullptr;
        if (FAILED(info->GetRefTypeInfo(type.hreftype, &referenced)))
            return "?";
        BSTR name = nullptr;
        referenced->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
        std::string text = narrow(name);
        SysFreeString(name);
        referenced->Release();
        return text;
    }
    default: return "vt" + std::to_string(type.vt);
    }
}

std::string flagNames(USHORT flags)
{
    if ((flags & (PARAMFLAG_FOUT | PARAMFLAG_FRETVAL)) == (PARAMFLAG_FOUT | PARAMFLAG_FRETVAL))
        return "out retval";
    if (flags & PARAMFLAG_FIN)
        return "in";
    return flags == 0 ? "none" : "flags" + std::to_string(flags);
}

class TypeLibrary : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ASSERT_NE(driverModule(), nullptr);
        ASSERT_EQ(callExport("DllRegisterServer"), S_OK);
    }
    void SetUp() override { ASSERT_EQ(LoadRegTypeLib(LIBID_TEMPLATELib, 1, 0, 0x409, &library), S_OK); }
    void TearDown() override
    {
        if (library)
            library->Release();
    }
    ITypeLib* library = nullptr;
};

TEST_F(TypeLibrary, LibraryClassAndEnumerations)
{
    TLIBATTR* attributes = nullptr;
    ASSERT_EQ(library->GetLibAttr(&attributes), S_OK);
    EXPECT_EQ(attributes->wMajorVerNum, 1);
    EXPECT_EQ(attributes->wMinorVerNum, 0);
    EXPECT_EQ(attributes->lcid, 0x409u);
    library->ReleaseTLibAttr(attributes);
    BSTR name = nullptr, help = nullptr;
    ASSERT_EQ(library->GetDocumentation(-1, &name, &help, nullptr, nullptr), S_OK);
    EXPECT_EQ(narrow(name), "TEMPLATELib");
    EXPECT_EQ(narrow(help), "Velmaro Telescope ASCOM Driver");
    SysFreeString(name);
    SysFreeString(help);

    ITypeInfo* coclass = nullptr;
    ASSERT_EQ(library->GetTypeInfoOfGuid(CLSID_Telescope, &coclass), S_OK);
    TYPEATTR* classAttributes = nullptr;
    coclass->GetTypeAttr(&classAttributes);
    EXPECT_EQ(classAttributes->typekind, TKIND_COCLASS);
    EXPECT_TRUE(classAttributes->wTypeFlags & TYPEFLAG_FCANCREATE);
    EXPECT_EQ(classAttributes->cImplTypes, 1);
    coclass->ReleaseTypeAttr(classAttributes);
    coclass->GetDocumentation(MEMBERID_NIL, &name, &help, nullptr, nullptr);
    EXPECT_EQ(narrow(name), "Telescope");
    EXPECT_EQ(narrow(help), "Telescope Class");
    SysFreeString(name);
    SysFreeString(help);
    coclass->Release();

    const struct {
        GUID guid;
        const char* name;
        std::vector<std::pair<std::string, int>> constants;
    } enumerations[] = {
        {{0x7E3A5C18, 0x2B94, 0x4F61, {0x8D, 0x07, 0xA6, 0xC2, 0xE9, 0x5B, 0x14, 0xD3}}, "AlignmentModes",
         {{"algAltAz", 0}, {"algPolar", 1}, {"algGermanPolar", 2}, {"algUnknown", 3}}},
        {{0xC9186F4A, 0x5D2E, 0x4A37, {0xB0, 0xC8, 0x3E, 0x71, 0xF4, 0xA9, 0xD2, 0x65}}, "TrackingModes",
         {{"driveSidereal", 0}, {"driveLunar", 1}, {"driveSolar", 2}, {"driveKing", 3}, {"driveCustom", 4}}},
        {{0x2F6D8B3E, 0x94C1, 0x4E5A, {0x9B, 0x73, 0xF0, 0x5A, 0x1C, 0x8E, 0x6D, 0x42}}, "GuideDirections",
         {{"guideNorth", 0}, {"guideSouth", 1}, {"guideEast", 2}, {"guideWest", 3}}},
    };
    for (const auto& expected : enumerations) {
        ITypeInfo* alias = nullptr;
        ASSERT_EQ(library->GetTypeInfoOfGuid(expected.guid, &alias), S_OK) << expected.name;
        TYPEATTR* aliasAttributes = nullptr;
        alias->GetTypeAttr(&aliasAttributes);
        EXPECT_EQ(aliasAttributes->typekind, TKIND_ALIAS) << expected.name;
        EXPECT_EQ(aliasAttributes->tdescAlias.vt, VT_USERDEFINED) << expected.name;
        ITypeInfo* enumeration = nullptr;
        ASSERT_EQ(alias->GetRefTypeInfo(aliasAttributes->tdescAlias.hreftype, &enumeration), S_OK);
        alias->GetDocumentation(MEMBERID_NIL, &name, &help, nullptr, nullptr);
        EXPECT_EQ(narrow(name), expected.name);
        EXPECT_EQ(narrow(help), "Velmaro Telescope ASCOM Driver");
        SysFreeString(name);
        SysFreeString(help);
        alias->ReleaseTypeAttr(aliasAttributes);
        alias->Release();

        TYPEATTR* enumAttributes = nullptr;
        enumeration->GetTypeAttr(&enumAttributes);
        EXPECT_EQ(enumAttributes->typekind, TKIND_ENUM);
        ASSERT_EQ(enumAttributes->cVars, expected.constants.size());
        for (UINT i = 0; i < enumAttributes->cVars; ++i) {
            VARDESC* constant = nullptr;
            enumeration->GetVarDesc(i, &constant);
            BSTR constantName = nullptr;
            UINT count = 0;
            enumeration->GetNames(constant->memid, &constantName, 1, &count);
            EXPECT_EQ(narrow(constantName), expected.constants[i].first);
            EXPECT_EQ(V_I4(constant->lpvarValue), expected.constants[i].second) << expected.constants[i].first;
            SysFreeString(constantName);
            enumeration->ReleaseVarDesc(constant);
        }
        enumeration->ReleaseTypeAttr(enumAttributes);
        enumeration->Release();
    }
}

TEST_F(TypeLibrary, EveryMemberInOrderWithItsSignatureAndHelp)
{
    ITypeInfo* dispatch = nullptr;
    ASSERT_EQ(library->GetTypeInfoOfGuid(IID_ITelescopeV3, &dispatch), S_OK);
    TYPEATTR* attributes = nullptr;
    dispatch->GetTypeAttr(&attributes);
    EXPECT_TRUE(attributes->wTypeFlags & TYPEFLAG_FDUAL);
    EXPECT_EQ(attributes->typekind, TKIND_DISPATCH);
    dispatch->ReleaseTypeAttr(attributes);
    BSTR help = nullptr;
    dispatch->GetDocumentation(MEMBERID_NIL, nullptr, &help, nullptr, nullptr);
    EXPECT_EQ(narrow(help), "ITelescopeV3");
    SysFreeString(help);

    // The virtual-table side of the dual interface: the 92 members only.
    HREFTYPE reference = 0;
    ASSERT_EQ(dispatch->GetRefTypeOfImplType(-1, &reference), S_OK);
    ITypeInfo* info = nullptr;
    ASSERT_EQ(dispatch->GetRefTypeInfo(reference, &info), S_OK);
    dispatch->Release();
    info->GetTypeAttr(&attributes);
    EXPECT_EQ(attributes->typekind, TKIND_INTERFACE);
    EXPECT_TRUE(attributes->wTypeFlags & TYPEFLAG_FOLEAUTOMATION);
    EXPECT_TRUE(attributes->wTypeFlags & TYPEFLAG_FDUAL);
    ASSERT_EQ(attributes->cFuncs, 92);
    info->ReleaseTypeAttr(attributes);

    for (UINT index = 0; index < 92; ++index) {
        const Member& expected = kMembers[index];
        FUNCDESC* function = nullptr;
        ASSERT_EQ(info->GetFuncDesc(index, &function), S_OK);
        BSTR names[8] = {};
        UINT count = 0;
        info->GetNames(function->memid, names, 8, &count);
        std::string name = narrow(names[0]);
        SCOPED_TRACE(name);
        EXPECT_EQ(name, expected.name);
        EXPECT_EQ(function->memid, expected.id);
        const char* kind = function->invkind == INVOKE_PROPERTYGET ? "get"
                           : function->invkind == INVOKE_PROPERTYPUT ? "put"
                                                                     : "method";
        EXPECT_STREQ(kind, expected.kind);
        EXPECT_EQ(function->elemdescFunc.tdesc.vt, VT_HRESULT);
        std::ostringstream parameters;
        for (SHORT p = 0; p < function->cParams; ++p) {
            const ELEMDESC& parameter = function->lprgelemdescParam[p];
            // Property puts show no parameter names through GetNames.
            std::string parameterName = UINT(p + 1) < count ? narrow(names[p + 1]) : "-";
            if (function->invkind == INVOKE_PROPERTYPUT)
                parameterName = "-";
            parameters << (p ? "; " : "") << typeName(info, parameter.tdesc) << " " << parameterName << " "
                       << flagNames(parameter.paramdesc.wParamFlags);
        }
        EXPECT_EQ(parameters.str(), expected.parameters);
        BSTR documentation = nullptr;
        info->GetDocumentation(function->memid, nullptr, &documentation, nullptr, nullptr);
        EXPECT_EQ(narrow(documentation), std::string(function->invkind == INVOKE_FUNC ? "method " : "property ") + name);
        SysFreeString(documentation);
        for (UINT n = 0; n < count; ++n)
            SysFreeString(names[n]);
        info->ReleaseFuncDesc(function);
    }
    info->Release();
}

} // namespace
