#pragma once
// Process-wide settings, the one view every module reads. The command-line reader
// (entry/settings.cpp) writes them through the setters below before any other thread exists;
// they are read-only afterwards. Each sink keeps its own file name and switch (storage/sink.h).

int IsDetached();
unsigned long GetMaxThrottle();
// The -a address, which main() hands to the listener.
const char* GetBindAddress();
// The --metrics endpoint: its IPv4 address in dotted form (null while the endpoint is off) and
// its port (0 if the switch named no valid address or port).
const char* GetMetricsAddress();
int GetMetricsPort();
// The NetFlow versions taken, one bit each (kTakeV5 alone by default); 0 when --netflow named
// none validly.
constexpr unsigned kTakeV5 = 1, kTakeV9 = 2, kTakeIpfix = 4;
// Their names on the command line and in the start-up report, in this order.
struct NetFlowVersionName {
    const char* name;
    unsigned bit;
};
constexpr NetFlowVersionName kNetFlowVersionNames[] = {
    {"v5", kTakeV5}, {"v9", kTakeV9}, {"ipfix", kTakeIpfix}};
unsigned GetNetFlowVersions();
// Whether datagrams of this header version (5, 9 or 10) are decoded.
bool TakesNetFlowVersion(unsigned version);
// The release number the help and the metrics show.
const char* GetRelease();

// The command-line reader's setters.
void SetDetached(int value);
void SetMaxThrottle(unsigned long value);
void SetBindAddress(const char* address);
void SetMetricsEndpoint(const char* address, int port);
void SetNetFlowVersions(unsigned versions);
// Sets a text setting to a tracked copy of value; ReleaseNamedVars releases it.
void SetText(char*& setting, const char* value);

// Releases every text setting; safe only once no other thread can read them.
void ReleaseNamedVars();

// A tracked copy of text (release_mem with its strlen + 1), and its release, which nulls text.
char* CopyText(const char* text);
void ReleaseText(char*& text);
