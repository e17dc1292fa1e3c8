// The device-number check's control case: a file that numbers a device
// itself, which the check must name.
const char* const kSetupPath = "/setup/v1/telescope/0/setup";
