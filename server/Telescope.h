// The telescope driver object behind the class Telescope: the COM side of
// the mount core. It checks the client's pointers, converts automation
// booleans, strings and dates, gives each outcome its status and error
// information, and serves IDispatch from the type information; the core
// does the rest.
#pragma once

#include "Mount.h"
#include "VelmaroInterface.h"

#include <atomic>
#include <memory>

class CTelescope final : public ITelescopeV3 {
public:
    // The class factory's creator: aggregation allows only IUnknown.
    static HRESULT create(IUnknown* outer, REFIID interfaceId, void** object);
    // Objects not yet destroyed, in the whole process.
    static long liveObjects();

    // IUnknown, delegating to the controlling unknown.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID interfaceId, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IDispatch, served from the type library.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID locale, WORD flags, DISPPARAMS* parameters,
                                     VARIANT* result, EXCEPINFO* exception, UINT* argumentError) override;

    // ITelescopeV3, in the order of the interface.
    HRESULT STDMETHODCALLTYPE get_AlignmentMode(AlignmentModes *pVal) override;
    HRESULT STDMETHODCALLTYPE get_Altitude(double *Alt) override;
    HRESULT STDMETHODCALLTYPE get_ApertureArea(double *dV) override;
    HRESULT STDMETHODCALLTYPE get_ApertureDiameter(double *dV) override;
    HRESULT STDMETHODCALLTYPE get_AtHome(VARIANT_BOOL *bV) override;
    HRESULT STDMETHODCALLTYPE get_AtPark(VARIANT_BOOL *bV) override;
    HRESULT STDMETHODCALLTYPE get_Azimuth(double *dV) override;
    HRESULT STDMETHODCALLTYPE get_CanFindHome(VARIANT_BOOL *bV) override;
    HRESULT STDMETHODCALLTYPE get_CanPark(VARIANT_BOOL *bV) override;
    HRESULT STDMETHODCALLTYPE get_CanPulseGuide(VARIANT_BOOL *bV) override;
    HRESULT STDMETHODCALLTYPE get_CanSetDeclinationRate(VARIANT_BOOL *bV) override;
    HRESULT STDMETHODCALLTYPE get_CanSetGuideRates(VARIANT_BOOL *bV) override;
    HRESULT STDMETHODCALLTYPE get_CanSetPark(VARIANT_BOOL *bV) override;
    HRESULT STDMETHODCALLTYPE get_CanSetPierSide(VARIANT_BOOL *bV) override;
    HRESULT STDMETHODCALLTYPE get_CanSetRightAscensionRate(VARIANT_BOOL *bV) override;
    HRESULT STDMETHODCALLTYPE get_CanSetTracking(VARIANT_BOOL *bV) override;
    HRESULT STDMETHODCALLTYPE get_CanSlew(VARIANT_BOOL *bV) override;
    HRESULT STDMETHODCALLTYPE get_CanSlewAltAz(VARIANT_BOOL *bV) override;
    HRESULT STDMETHODCALLTYPE get_CanSlewAltAzAsync(VARIANT_BOOL *bV) override;
    HRESULT STDMETHODCALLTYPE get_CanSlewAsync(VARIANT_BOOL *bV) override;
    HRESULT STDMETHODCALLTYPE get_CanSync(VARIANT_BOOL *bV) override;
    HRESULT STDMETHODCALLTYPE get_CanSyncAltAz(VARIANT_BOOL *bV) override;
    HRESULT STDMETHODCALLTYPE get_CanUnpark(VARIANT_BOOL *bV) override;
    HRESULT STDMETHODCALLTYPE get_Connected(VARIANT_BOOL *bV) override;
    HRESULT STDMETHODCALLTYPE put_Connected(VARIANT_BOOL a) override;
    HRESULT STDMETHODCALLTYPE get_Declination(double *dV) override;
    HRESULT STDMETHODCALLTYPE get_DeclinationRate(double *dV) override;
    HRESULT STDMETHODCALLTYPE put_DeclinationRate(double a) override;
    HRESULT STDMETHODCALLTYPE get_Description(BSTR *pVal) override;
    HRESULT STDMETHODCALLTYPE get_DoesRefraction(VARIANT_BOOL *pVal) override;
    HRESULT STDMETHODCALLTYPE put_DoesRefraction(VARIANT_BOOL *a) override;
    HRESULT STDMETHODCALLTYPE get_DriverInfo(BSTR *pVal) override;
    HRESULT STDMETHODCALLTYPE get_DriverVersion(BSTR *pVal) override;
    HRESULT STDMETHODCALLTYPE get_EquatorialSystem(int *pVal) override;
    HRESULT STDMETHODCALLTYPE get_FocalLength(double *pVal) override;
    HRESULT STDMETHODCALLTYPE get_GuideRateDeclination(double *pVal) override;
    HRESULT STDMETHODCALLTYPE put_GuideRateDeclination(double *a) override;
    HRESULT STDMETHODCALLTYPE get_GuideRateRightAscension(double *pVal) override;
    HRESULT STDMETHODCALLTYPE put_GuideRateRightAscension(double *a) override;
    HRESULT STDMETHODCALLTYPE get_InterfaceVersion(int *pVal) override;
    HRESULT STDMETHODCALLTYPE get_IsPulseGuiding(VARIANT_BOOL *pVal) override;
    HRESULT STDMETHODCALLTYPE get_Name(BSTR *pVal) override;
    HRESULT STDMETHODCALLTYPE get_RightAscension(double *pVal) override;
    HRESULT STDMETHODCALLTYPE get_RightAscensionRate(double *pVal) override;
    HRESULT STDMETHODCALLTYPE put_RightAscensionRate(double a) override;
    HRESULT STDMETHODCALLTYPE get_SideOfPier(int *pVal) override;
    HRESULT STDMETHODCALLTYPE put_SideOfPier(int *a) override;
    HRESULT STDMETHODCALLTYPE get_SiderealTime(double *pVal) override;
    HRESULT STDMETHODCALLTYPE get_SiteElevation(double *pVal) override;
    HRESULT STDMETHODCALLTYPE put_SiteElevation(double a) override;
    HRESULT STDMETHODCALLTYPE get_SiteLatitude(double *pVal) override;
    HRESULT STDMETHODCALLTYPE put_SiteLatitude(double a) override;
    HRESULT STDMETHODCALLTYPE get_SiteLongitude(double *pVal) override;
    HRESULT STDMETHODCALLTYPE put_SiteLongitude(double a) override;
    HRESULT STDMETHODCALLTYPE get_Slewing(VARIANT_BOOL *pVal) override;
    HRESULT STDMETHODCALLTYPE get_SlewSettleTime(int *iV) override;
    HRESULT STDMETHODCALLTYPE put_SlewSettleTime(int a) override;
    HRESULT STDMETHODCALLTYPE get_TargetDeclination(double *pVal) override;
    HRESULT STDMETHODCALLTYPE put_TargetDeclination(double a) override;
    HRESULT STDMETHODCALLTYPE get_TargetRightAscension(double *pVal) override;
    HRESULT STDMETHODCALLTYPE put_TargetRightAscension(double a) override;
    HRESULT STDMETHODCALLTYPE get_Tracking(VARIANT_BOOL *pVal) override;
    HRESULT STDMETHODCALLTYPE put_Tracking(VARIANT_BOOL a) override;
    HRESULT STDMETHODCALLTYPE get_TrackingRate(TrackingModes *pVal) override;
    HRESULT STDMETHODCALLTYPE put_TrackingRate(TrackingModes *a) override;
    HRESULT STDMETHODCALLTYPE get_TrackingRates(TrackingModes *pVal) override;
    HRESULT STDMETHODCALLTYPE get_UTCDate(DATE *pVal) override;
    HRESULT STDMETHODCALLTYPE put_UTCDate(DATE a) override;
    HRESULT STDMETHODCALLTYPE AbortSlew() override;
    HRESULT STDMETHODCALLTYPE AxisRates(int axis) override;
    HRESULT STDMETHODCALLTYPE CanMoveAxis(int axis, VARIANT_BOOL *pVal) override;
    HRESULT STDMETHODCALLTYPE CommandBlind(BSTR Command) override;
    HRESULT STDMETHODCALLTYPE CommandBool(BSTR Command) override;
    HRESULT STDMETHODCALLTYPE CommandString(BSTR Command) override;
    HRESULT STDMETHODCALLTYPE DestinationSideOfPier(double RA, double Dec) override;
    HRESULT STDMETHODCALLTYPE Dispose() override;
    HRESULT STDMETHODCALLTYPE FindHome() override;
    HRESULT STDMETHODCALLTYPE MoveAxis(int axis, int rate) override;
    HRESULT STDMETHODCALLTYPE Park() override;
    HRESULT STDMETHODCALLTYPE PulseGuide(GuideDirections Direction, LONG Duration) override;
    HRESULT STDMETHODCALLTYPE SetPark() override;
    HRESULT STDMETHODCALLTYPE SetupDialog() override;
    HRESULT STDMETHODCALLTYPE SlewToAltAz(double Azi, double Alt) override;
    HRESULT STDMETHODCALLTYPE SlewToAltAzAsync(double Azi, double Alt) override;
    HRESULT STDMETHODCALLTYPE SlewToCoordinates(double RightAscension, double Declination) override;
    HRESULT STDMETHODCALLTYPE SlewToCoordinatesAsync(double RightAscension, double Declination) override;
    HRESULT STDMETHODCALLTYPE SlewToTarget() override;
    HRESULT STDMETHODCALLTYPE SlewToTargetAsync() override;
    HRESULT STDMETHODCALLTYPE SyncToAltAz(double Azi, double Alt) override;
    HRESULT STDMETHODCALLTYPE SyncToCoordinates(double RightAscension, double Declination) override;
    HRESULT STDMETHODCALLTYPE SyncToTarget() override;
    HRESULT STDMETHODCALLTYPE Unpark() override;


private:
    // The object's own IUnknown: the one an aggregate's outer object holds.
    class InnerUnknown final : public IUnknown {
    public:
        explicit InnerUnknown(CTelescope& owner) : owner(owner) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID interfaceId, void** object) override;
        ULONG STDMETHODCALLTYPE AddRef() override;
        ULONG STDMETHODCALLTYPE Release() override;

    private:
        CTelescope& owner;
    };

    explicit CTelescope(IUnknown* outer);
    ~CTelescope();

    InnerUnknown inner{*this};
    IUnknown* controlling;
    std::atomic<ULONG> references{1};

    // Every driver object of the process shares one mount state.
    Mount core;
};

// The mount state of the process's driver objects: made with the first
// object, shared by every object alive, gone with the last, so that a
// process whose objects have all gone starts afresh with the next.
std::shared_ptr<MountState> processMountState();
// Whether the process's mount counts as connected (false with no object).
bool processIsConnected();
