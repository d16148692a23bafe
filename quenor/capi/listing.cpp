// Finding devices through the C interface: the version, matches, entries and the list.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "quenor/capi/capi.h"
#include "quenor/mac/macnativedeviceenumerator.h"
#include "quenor/version.h"

using quenor::capi::guarded;

namespace quenor::capi {

HidDeviceMatch toMatch(const quenor_match* match) {
    HidDeviceMatch wanted;
    if (!match) {
        return wanted;
    }
    if (match->fields & QUENOR_MATCH_VENDOR_ID) {
        wanted.vendorId = match->vendor_id;
    }
    if (match->fields & QUENOR_MATCH_PRODUCT_ID) {
        wanted.productId = match->product_id;
    }
    if (match->fields & QUENOR_MATCH_USAGE_PAGE) {
        wanted.usagePage = match->usage_page;
    }
    if (match->fields & QUENOR_MATCH_USAGE) {
        wanted.usage = match->usage;
    }
    return wanted;
}

EntryText::EntryText(const HidDeviceEntry& entry)
    : path(encodeUtf8(entry.path)),
      manufacturer(entry.identity.manufacturer),
      product(entry.identity.product),
      serialNumber(entry.identity.serialNumber),
      transport(entry.identity.transport) {}

quenor_entry toCEntry(const HidDeviceEntry& entry, const EntryText& text) {
    const HidDeviceIdentity& id = entry.identity;
    quenor_entry out{};
    out.entry_id = entry.registryEntryId;
    out.path = text.path.c_str();
    out.pair_index = entry.usagePairIndex;
    out.identity = {id.vendorId,
                    id.productId,
                    id.releaseNumber,
                    id.usagePage,
                    id.usage,
                    id.primaryUsagePage,
                    id.primaryUsage,
                    id.maxInputReportSize,
                    id.maxOutputReportSize,
                    id.maxFeatureReportSize,
                    id.locationId,
                    text.manufacturer.c_str(),
                    text.product.c_str(),
                    text.serialNumber.c_str(),
                    text.transport.c_str()};
    return out;
}

}  // namespace quenor::capi

namespace {

// Appends `text` with its NUL at `*cursor` and points `*field` at the copy.
void place(const std::string& text, char** cursor, const char** field) {
    std::memcpy(*cursor, text.c_str(), text.size() + 1);
    *field = *cursor;
    *cursor += text.size() + 1;
}

}  // namespace

extern "C" {

int quenor_version_number(void) {
    return quenor::versionNumber();
}

const char* quenor_version_string(void) {
    return quenor::versionString();
}

// The list is one block from malloc: the entries, then every string they point to, so
// that one free() returns it all.
quenor_status quenor_devices_list(const quenor_match* match, quenor_entry** entries,
                                  size_t* count) {
    if (entries) {
        *entries = nullptr;
    }
    if (count) {
        *count = 0;
    }
    if (!entries || !count) {
        return QUENOR_STATUS_BAD_ARGUMENT;
    }
    return guarded([&] {
        const MacNativeDeviceEnumerator found(quenor::capi::toMatch(match));
        const std::vector<HidDeviceEntry>& listed = found.entries();
        if (listed.empty()) {
            return QUENOR_STATUS_OK;
        }
        std::vector<quenor::capi::EntryText> texts(listed.begin(), listed.end());
        size_t bytes = listed.size() * sizeof(quenor_entry);
        for (const auto& text : texts) {
            bytes += text.path.size() + text.manufacturer.size() + text.product.size() +
                     text.serialNumber.size() + text.transport.size() + 5;
        }
        auto* block = static_cast<quenor_entry*>(std::malloc(bytes));
        if (!block) {
            return QUENOR_STATUS_NO_MEMORY;
        }
        char* cursor = reinterpret_cast<char*>(block + listed.size());
        for (size_t i = 0; i < listed.size(); ++i) {
            const quenor::capi::EntryText& text = texts[i];
            quenor_entry& entry = block[i];
            entry = quenor::capi::toCEntry(listed[i], text);
            place(text.path, &cursor, &entry.path);
            place(text.manufacturer, &cursor, &entry.identity.manufacturer);
            place(text.product, &cursor, &entry.identity.product);
            place(text.serialNumber, &cursor, &entry.identity.serial_number);
            place(text.transport, &cursor, &entry.identity.transport);
        }
        *entries = block;
        *count = listed.size();
        return QUENOR_STATUS_OK;
    });
}

void quenor_entries_free(quenor_entry* entries) {
    std::free(entries);
}

}  // extern "C"
