// A control case for check-member-results: an interface of four members,
// of which only the first is written as every member must be.
class CTelescope {
public:
    // ITelescopeV3, in the order of the interface.
    HRESULT STDMETHODCALLTYPE get_Traced(double* value) override;
    HRESULT STDMETHODCALLTYPE get_Untraced(double* value) override;
    HRESULT STDMETHODCALLTYPE get_PlainReturn(double* value) override;
    HRESULT STDMETHODCALLTYPE get_Missing(double* value) override;

    HRESULT STDMETHODCALLTYPE helper();
};
