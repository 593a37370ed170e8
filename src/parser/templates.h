#pragma once
// The templates NetFlow v9 and IPFIX exporters announce, kept per exporter address and source ID
// (v9) or observation domain (IPFIX). UDP carries no session: a template lives until its exporter
// withdraws or redefines it, or until it has gone kTemplateLifetime without a refresh. The
// receive loop learns templates and looks them up for data sets, in arrival order.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <vector>

#include "common/address.h"

// Bounds on template memory: a template past them is not learned, and its data sets count as
// sets without a template. About 6 bytes per field: at most about 6 MB in all.
constexpr size_t kMaxTemplateFields = 128;
constexpr size_t kMaxTemplatesPerExporter = 256;  // one address, all its domains together
constexpr size_t kMaxTemplatesHeld = 8192;
constexpr time_t kTemplateLifetime = 1800;
// IPFIX: a field of this length carries its length in front of its value, in the record.
constexpr uint16_t kVariableLength = 65535;

// Which field of a flow record a template field fills, if any.
enum class FieldRole : uint8_t {
    kNone,
    kSource,
    kDestination,
    kNextHop,
    kBytes,
    kPackets,
    kProtocol,
    kTos,
    kTcpFlags,
    kSourcePort,
    kDestinationPort,
    kSourceMask,
    kDestinationMask,
    kSourceAs,
    kDestinationAs,
    kStart,
    kEnd,
};

struct TemplateField {
    uint16_t element;  // information element identifier, enterprise bit cleared
    uint16_t length;   // bytes, or kVariableLength
    bool enterprise;   // vendor-specific: skipped by its length
    FieldRole role;    // found once when learned; a variable-length field's by each value's size
};

// Never changed once learned: a redefinition replaces the whole template, so a worker may go on
// decoding with the one it found.
struct Template {
    std::vector<TemplateField> fields;
    bool options = false;
    size_t min_record = 0;  // bytes of a record whose variable fields are all empty
    bool variable = false;  // some field has kVariableLength
};

// Where a template ID is defined.
struct TemplateScope {
    NetAddress exporter;
    uint16_t version;  // 9 or 10: the two never share templates
    uint32_t domain;   // source ID or observation domain
};

// Receive loop. False if a bound refused it; a refresh of a template held is always taken.
bool LearnTemplate(const TemplateScope& scope, uint16_t id, Template&& definition, time_t now);
void WithdrawTemplate(const TemplateScope& scope, uint16_t id);
// IPFIX: every template (options false) or every options template of the scope.
void WithdrawTemplates(const TemplateScope& scope, bool options);
// Forgets templates not refreshed for kTemplateLifetime; how many.
size_t ExpireTemplates(time_t now);
// Templates expired since start, for the metrics.
uint64_t TemplateExpiries();
// IPFIX: the exporter's boot time in Unix milliseconds, from an options record
// (systemInitTimeMilliseconds), the base of its uptime-relative flow times.
void SetSystemInitTime(const TemplateScope& scope, uint64_t milliseconds);

// Any thread. Null if the scope has no such template.
std::shared_ptr<const Template> FindTemplate(const TemplateScope& scope, uint16_t id);
// 0 if not known.
uint64_t SystemInitTime(const TemplateScope& scope);
size_t TemplatesHeld(const NetAddress& exporter);
size_t TemplatesHeld();
// Forgets everything (tests and the fuzzer).
void ClearTemplates();
