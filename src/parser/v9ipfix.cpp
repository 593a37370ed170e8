#include "parser/v9ipfix.h"

#include <atomic>
#include <memory>
#include <span>
#include <utility>

#include "parser/templates.h"

namespace {

constexpr size_t kV9HeaderSize = 20;
constexpr size_t kIpfixHeaderSize = 16;
constexpr size_t kSetHeaderSize = 4;
// Template sets; the options template sets follow each (v9 1, IPFIX 3).
constexpr uint16_t kV9TemplateSet = 0;
constexpr uint16_t kIpfixTemplateSet = 2;
constexpr uint16_t kIpfixOptionsSet = 3;
constexpr uint16_t kFirstDataSet = 256;
constexpr uint16_t kEnterpriseBit = 0x8000;
// A variable-length field whose first length byte is this carries a 2-byte length after it.
constexpr uint8_t kLongLength = 255;
// Seconds from the NTP era (1900) to the Unix epoch: IPFIX micro- and nanosecond times are NTP.
constexpr uint64_t kNtpToUnix = 2208988800u;
std::atomic<uint64_t> sets_without_template{0};

// Flows handed to emit at once; a full batch goes before the next record is decoded.
constexpr size_t kBatchFlows = 256;

size_t HeaderSize(uint16_t version) { return version == kIpfix ? kIpfixHeaderSize : kV9HeaderSize; }

// Template sets (options false) and options template sets of each version; data sets are 256 up,
// and the ids between are reserved and skipped.
bool IsTemplateSet(uint16_t version, uint16_t id, bool* options) {
    const uint16_t first = version == kIpfix ? kIpfixTemplateSet : kV9TemplateSet;
    *options = id == first + 1;
    return id == first || id == first + 1;
}

// Calls visit(id, body) for each set in order while it returns true; false if a set's length is
// under its header or runs past the message, or visit refused. v9 allows padding after the last
// set; an IPFIX message's length counts its sets exactly. Sets need not start aligned: some
// exporters leave options sets unpadded.
template <typename Visit>
bool ForEachSet(Bytes message, uint16_t version, Visit&& visit) {
    size_t offset = HeaderSize(version);
    if (version == kIpfix && Load16(message, 2) != message.size()) return false;
    while (message.size() - offset >= kSetHeaderSize) {
        const uint16_t id = Load16(message, offset);
        const uint16_t length = Load16(message, offset + 2);
        if (length < kSetHeaderSize || length > message.size() - offset) return false;
        if (!visit(id, message.subspan(offset + kSetHeaderSize, length - kSetHeaderSize)))
            return false;
        offset += length;
    }
    return version == kNetFlowV9 || offset == message.size();
}

// ---- what each field fills ---------------------------------------------------------------

bool IsStartTime(uint16_t element) {
    return element == 22 || element == 150 || element == 152 || element == 154 || element == 156 ||
           element == 158;
}

bool IsTime(uint16_t element) {
    return element == 21 || element == 22 || (element >= 150 && element <= 159);
}

// sourceIPv4Address and its kin, or the IPv6 ones, each only at its own size.
FieldRole AddressRole(uint16_t element, size_t size) {
    const size_t wanted = element == 27 || element == 28 || element == 62 ? 16 : 4;
    if (size != wanted) return FieldRole::kNone;
    switch (element) {
        case 8:
        case 27: return FieldRole::kSource;
        case 12:
        case 28: return FieldRole::kDestination;
        case 15:
        case 62: return FieldRole::kNextHop;
        default: return FieldRole::kNone;
    }
}

FieldRole NumberRole(uint16_t element) {
    switch (element) {
        case 1:
        case 85: return FieldRole::kBytes;
        case 2:
        case 86: return FieldRole::kPackets;
        case 4: return FieldRole::kProtocol;
        case 5: return FieldRole::kTos;
        case 6: return FieldRole::kTcpFlags;
        case 7: return FieldRole::kSourcePort;
        case 11: return FieldRole::kDestinationPort;
        case 9:
        case 29: return FieldRole::kSourceMask;
        case 13:
        case 30: return FieldRole::kDestinationMask;
        case 16: return FieldRole::kSourceAs;
        case 17: return FieldRole::kDestinationAs;
        default: return FieldRole::kNone;
    }
}

// The information elements a flow record keeps; any other is skipped. A value of an unexpected
// size is skipped too, since it cannot be what its element says.
FieldRole RoleOf(uint16_t element, size_t size, bool enterprise) {
    if (enterprise) return FieldRole::kNone;
    if (const FieldRole address = AddressRole(element, size); address != FieldRole::kNone)
        return address;
    if (size == 0 || size > 8) return FieldRole::kNone;
    if (IsTime(element)) return IsStartTime(element) ? FieldRole::kStart : FieldRole::kEnd;
    return NumberRole(element);
}

FieldRole RoleOf(const TemplateField& field, size_t size) {
    return field.length == kVariableLength ? RoleOf(field.element, size, field.enterprise)
                                           : field.role;
}

// ---- templates ---------------------------------------------------------------------------

// Reads count field specifiers at body[offset] into definition (null: only checks them).
bool ReadFields(Bytes body, size_t& offset, size_t count, uint16_t version, Template* definition) {
    size_t min_record = 0;
    for (size_t n = 0; n < count; ++n) {
        if (body.size() - offset < 4) return false;
        TemplateField field{Load16(body, offset), Load16(body, offset + 2), false,
                            FieldRole::kNone};
        offset += 4;
        if (version == kIpfix && (field.element & kEnterpriseBit) != 0) {
            if (body.size() - offset < 4) return false;  // the enterprise number, not kept
            offset += 4;
            field.element &= static_cast<uint16_t>(~kEnterpriseBit);
            field.enterprise = true;
        }
        const bool variable = version == kIpfix && field.length == kVariableLength;
        min_record += variable ? 1 : field.length;
        if (definition == nullptr) continue;
        if (!variable) field.role = RoleOf(field.element, field.length, field.enterprise);
        definition->variable = definition->variable || variable;
        definition->fields.push_back(field);
    }
    if (definition != nullptr) definition->min_record = min_record;
    return min_record > 0;  // a record of no bytes would never end a set
}

// The field counts of one template record's head at body[offset]; false if malformed.
struct RecordHead {
    uint16_t id;
    size_t fields;  // 0: an IPFIX withdrawal
};

bool ReadRecordHead(Bytes body, size_t& offset, uint16_t version, bool options, RecordHead* head) {
    head->id = Load16(body, offset);
    const uint16_t second = Load16(body, offset + 2);
    if (version == kIpfix && second == 0) {  // a withdrawal: of one template, or all of the set's
        offset += 4;
        head->fields = 0;
        return head->id >= kFirstDataSet ||
               head->id == (options ? kIpfixOptionsSet : kIpfixTemplateSet);
    }
    if (!options) {
        offset += 4;
        head->fields = second;
    } else {
        if (body.size() - offset < 6) return false;
        const uint16_t third = Load16(body, offset + 4);
        offset += 6;
        // v9 gives the scope and option fields' lengths in bytes, IPFIX the field and scope counts.
        if (version == kNetFlowV9 && (second % 4 != 0 || third % 4 != 0)) return false;
        if (version == kIpfix && (third == 0 || third > second)) return false;
        head->fields = version == kNetFlowV9 ? (second + third) / 4u : second;
    }
    return head->id >= kFirstDataSet && head->fields > 0;
}

// Calls take(id, definition) for each template record of the set, definition null for a
// withdrawal (the id is then a template's or the set's own: all of the set's kind); with learn
// false only checks them. False if malformed; the bytes after the last record that cannot begin
// another are padding.
template <typename Take>
bool ReadTemplateSet(Bytes body, uint16_t version, bool options, bool learn, Take&& take) {
    size_t offset = 0;
    while (body.size() - offset >= 4) {
        RecordHead head{};
        if (!ReadRecordHead(body, offset, version, options, &head)) return false;
        if (head.fields == 0) {
            take(head.id, nullptr);
            continue;
        }
        Template definition;
        definition.options = options;
        if (!ReadFields(body, offset, head.fields, version, learn ? &definition : nullptr))
            return false;
        if (learn) take(head.id, &definition);
    }
    return true;
}

// Header, sets and template records, before any of them is acted on.
bool CheckStructure(Bytes message, uint16_t version) {
    return ForEachSet(message, version, [version](uint16_t id, Bytes body) {
        bool options = false;
        if (!IsTemplateSet(version, id, &options)) return true;
        return ReadTemplateSet(body, version, options, false, [](uint16_t, Template*) {});
    });
}

// The value of one field at body[offset], its length read first if variable; false if it runs
// past the set.
bool NextField(Bytes body, size_t& offset, const TemplateField& field, Bytes* value) {
    size_t length = field.length;
    if (field.length == kVariableLength) {
        if (body.size() - offset < 1) return false;
        length = body[offset++];
        if (length == kLongLength) {
            if (body.size() - offset < 2) return false;
            length = Load16(body, offset);
            offset += 2;
        }
    }
    if (body.size() - offset < length) return false;
    *value = body.subspan(offset, length);
    offset += length;
    return true;
}

// Calls field(specifier, value) for each field of each record in template order, and
// end_record() after each whole record; false if a record runs past the set, its fields up to
// there already given. What is left shorter than the shortest record is padding.
template <typename Field, typename EndRecord>
bool ForEachRecord(Bytes body, const Template& definition, Field&& field, EndRecord&& end_record) {
    size_t offset = 0;
    while (body.size() - offset >= definition.min_record) {
        for (const TemplateField& specifier : definition.fields) {
            Bytes value;
            if (!NextField(body, offset, specifier, &value)) return false;
            field(specifier, value);
        }
        end_record();
    }
    return true;
}

// Records of a data set, counted; false if one runs past the set.
bool CountRecords(Bytes body, const Template& definition, uint32_t* records) {
    if (!definition.variable) {
        *records += static_cast<uint32_t>(body.size() / definition.min_record);
        return true;
    }
    return ForEachRecord(
        body, definition, [](const TemplateField&, Bytes) {}, [records] { ++*records; });
}

TemplateScope ScopeOf(const NetAddress& exporter, const ExportHeader& header) {
    return TemplateScope{exporter, header.version, header.domain};
}

// systemInitTimeMilliseconds, which IPFIX exporters that stamp flows with their uptime send in
// an options record.
constexpr uint16_t kSystemInitTime = 160;

void LearnOptions(Bytes body, const Template& definition, const TemplateScope& scope) {
    ForEachRecord(
        body, definition,
        [&scope](const TemplateField& field, Bytes value) {
            if (!field.enterprise && field.element == kSystemInitTime && value.size() == 8)
                SetSystemInitTime(scope, LoadUnsigned(value));
        },
        [] {});
}

// A template or options template set: its templates and withdrawals.
void LearnTemplateSet(Bytes body, bool options, const TemplateScope& scope, time_t now) {
    ReadTemplateSet(body, scope.version, options, true, [&](uint16_t id, Template* definition) {
        if (definition != nullptr && definition->fields.size() <= kMaxTemplateFields)
            LearnTemplate(scope, id, std::move(*definition), now);
        else if (definition == nullptr && id >= kFirstDataSet)
            WithdrawTemplate(scope, id);
        else if (definition == nullptr)
            WithdrawTemplates(scope, options);
    });
}

// A data set: its template into the plan, its records counted, its options learned.
void PlanDataSet(uint16_t id, Bytes body, const TemplateScope& scope, ExportCounts* counts,
                 ExportPlan* plan) {
    const std::shared_ptr<const Template>& definition =
        plan->templates.emplace_back(FindTemplate(scope, id));
    if (definition == nullptr) return;
    uint32_t records = 0;
    if (!CountRecords(body, *definition, &records)) return;
    counts->data_records += records;
    if (definition->options) LearnOptions(body, *definition, scope);
}

// Calls visit(body, definition) for each data set in order with the template the plan holds
// for it (null if none); false if visit refused.
template <typename Visit>
bool ForEachDataSet(Bytes message, const ExportPlan& plan, Visit&& visit) {
    size_t index = 0;
    return ForEachSet(message, plan.header.version, [&](uint16_t id, Bytes body) {
        if (id < kFirstDataSet) return true;
        const Template* definition =
            index < plan.templates.size() ? plan.templates[index].get() : nullptr;
        ++index;
        return visit(body, definition);
    });
}

// ---- flow records ------------------------------------------------------------------------

// What a record's times are relative to.
struct TimeBase {
    uint16_t version;
    uint32_t export_seconds;
    uint32_t uptime;   // v9
    uint64_t init_ms;  // IPFIX: the exporter's boot time, 0 if not known
};

int32_t UptimeTime(const TimeBase& base, uint64_t stamp) {
    if (base.version == kNetFlowV9)
        return UptimeStampSeconds(base.export_seconds, base.uptime, static_cast<uint32_t>(stamp));
    return base.init_ms == 0 ? 0 : static_cast<int32_t>((base.init_ms + stamp) / 1000);
}

// dateTimeMicroseconds and dateTimeNanoseconds: NTP seconds in the high 32 bits.
int32_t NtpTime(uint64_t stamp) { return static_cast<int32_t>((stamp >> 32) - kNtpToUnix); }

int32_t FlowTime(uint16_t element, uint64_t value, const TimeBase& base) {
    switch (element) {
        case 21:
        case 22: return UptimeTime(base, value);
        case 150:
        case 151: return static_cast<int32_t>(value);
        case 152:
        case 153: return static_cast<int32_t>(value / 1000);
        case 154:
        case 155:
        case 156:
        case 157: return NtpTime(value);
        default: return static_cast<int32_t>(base.export_seconds - value / 1000000);  // deltas
    }
}

void StoreValue(FlowItem& flow, const TemplateField& field, Bytes value, const TimeBase& base) {
    switch (RoleOf(field, value.size())) {
        case FieldRole::kNone: break;
        case FieldRole::kSource: LoadAddress(value, &flow.src_ip); break;
        case FieldRole::kDestination: LoadAddress(value, &flow.dst_ip); break;
        case FieldRole::kNextHop: LoadAddress(value, &flow.next_hop); break;
        case FieldRole::kBytes: flow.bytes = LoadUnsigned(value); break;
        case FieldRole::kPackets: flow.packets = LoadUnsigned(value); break;
        case FieldRole::kProtocol: flow.protocol = static_cast<uint8_t>(LoadUnsigned(value)); break;
        case FieldRole::kTos: flow.tos = static_cast<uint8_t>(LoadUnsigned(value)); break;
        case FieldRole::kTcpFlags: flow.tcp_flags = static_cast<uint8_t>(LoadUnsigned(value)); break;
        case FieldRole::kSourcePort:
            flow.src_port = static_cast<uint16_t>(LoadUnsigned(value));
            break;
        case FieldRole::kDestinationPort:
            flow.dst_port = static_cast<uint16_t>(LoadUnsigned(value));
            break;
        case FieldRole::kSourceMask: flow.src_mask = static_cast<uint8_t>(LoadUnsigned(value)); break;
        case FieldRole::kDestinationMask:
            flow.dst_mask = static_cast<uint8_t>(LoadUnsigned(value));
            break;
        case FieldRole::kSourceAs: flow.src_as = static_cast<uint32_t>(LoadUnsigned(value)); break;
        case FieldRole::kDestinationAs:
            flow.dst_as = static_cast<uint32_t>(LoadUnsigned(value));
            break;
        case FieldRole::kStart:
            flow.flow_begin = FlowTime(field.element, LoadUnsigned(value), base);
            break;
        case FieldRole::kEnd: flow.flow_end = FlowTime(field.element, LoadUnsigned(value), base); break;
    }
}

// An address the record lacks is the zero address of the flow's family: IPv6 if either end is.
void FillAbsentAddresses(FlowItem& flow) {
    const uint8_t family =
        flow.src_ip.family == AF_INET6 || flow.dst_ip.family == AF_INET6 ? AF_INET6 : AF_INET;
    for (NetAddress* address : {&flow.src_ip, &flow.dst_ip, &flow.next_hop})
        if (address->family == 0) address->family = family;
}

// Flows on their way to emit, a batch at a time.
struct FlowBuffer {
    FlowBuffer(FlowBatch to, void* with) : emit(to), context(with) {}
    FlowBatch emit;
    void* context;
    size_t held = 0;
    FlowItem flows[kBatchFlows];  // [0, held) in use

    // The next flow, decoded in place from a copy of shared, then kept by Keep.
    FlowItem& Start(const FlowItem& shared) { return flows[held] = shared; }
    void Keep() {
        if (++held == kBatchFlows) Flush();
    }
    void Flush() {
        if (held > 0) emit(flows, held, context);
        held = 0;
    }
};

// The flow records of a data set; how many.
uint32_t DecodeFlows(Bytes body, const Template& definition, const FlowItem& shared,
                     const TimeBase& base, FlowBuffer& out) {
    uint32_t records = 0;
    FlowItem* flow = &out.Start(shared);
    ForEachRecord(
        body, definition,
        [&](const TemplateField& field, Bytes value) { StoreValue(*flow, field, value, base); },
        [&] {
            FillAbsentAddresses(*flow);
            out.Keep();
            ++records;
            flow = &out.Start(shared);
        });
    return records;
}

}  // namespace

uint64_t SetsWithoutTemplate() { return sets_without_template.load(std::memory_order_relaxed); }

// v9: version, count, sysUptime, UNIX secs, sequence, source ID. IPFIX: version, length, export
// time, sequence, observation domain.
bool ReadExportHeader(Bytes message, ExportHeader* header) {
    if (message.size() < kIpfixHeaderSize) return false;
    const uint16_t version = Load16(message, 0);
    if (version == kIpfix) {
        *header =
            ExportHeader{kIpfix, Load32(message, 8), Load32(message, 12), Load32(message, 4), 0};
        return true;
    }
    if (version != kNetFlowV9 || message.size() < kV9HeaderSize) return false;
    *header = ExportHeader{kNetFlowV9, Load32(message, 12), Load32(message, 16), Load32(message, 8),
                           Load32(message, 4)};
    return true;
}

bool LearnFromExport(Bytes message, const NetAddress& exporter, time_t now, ExportCounts* counts,
                     ExportPlan* plan) {
    plan->Clear();
    if (!ReadExportHeader(message, &plan->header) ||
        !CheckStructure(message, plan->header.version))
        return false;
    // Templates first: a data set may come ahead of its template in the same message.
    const TemplateScope scope = ScopeOf(exporter, plan->header);
    ForEachSet(message, plan->header.version, [&](uint16_t id, Bytes body) {
        bool options = false;
        if (IsTemplateSet(scope.version, id, &options)) LearnTemplateSet(body, options, scope, now);
        return true;
    });
    ForEachSet(message, plan->header.version, [&](uint16_t id, Bytes body) {
        if (id >= kFirstDataSet) PlanDataSet(id, body, scope, counts, plan);
        return true;
    });
    if (plan->header.version == kIpfix) plan->init_ms = SystemInitTime(scope);
    plan->sound = true;
    return true;
}

bool CheckExport(Bytes message, const ExportPlan& plan) {
    return plan.sound && ForEachDataSet(message, plan, [](Bytes body, const Template* definition) {
               uint32_t records = 0;
               return definition == nullptr || CountRecords(body, *definition, &records);
           });
}

void DecodeExport(Bytes message, const ExportPlan& plan, const FlowItem& shared, FlowBatch emit,
                  void* context, ExportCounts* counts) {
    if (!plan.sound) return;
    const ExportHeader& header = plan.header;
    const TimeBase base{header.version, header.export_seconds, header.uptime, plan.init_ms};
    FlowItem flow = shared;
    flow.version = static_cast<uint8_t>(header.version);
    flow.sequence = header.sequence;
    FlowBuffer out(emit, context);
    ForEachDataSet(message, plan, [&](Bytes body, const Template* definition) {
        if (definition == nullptr) {
            ++counts->unknown_sets;
            sets_without_template.fetch_add(1, std::memory_order_relaxed);
        } else if (definition->options) {
            CountRecords(body, *definition, &counts->data_records);
        } else {
            const uint32_t flows = DecodeFlows(body, *definition, flow, base, out);
            counts->data_records += flows;
            counts->flows += flows;
        }
        return true;
    });
    out.Flush();
}
