// framework/bus/blob_table.hpp - the BLOB table as seen by the property records and the bus
// (C++ only). All functions take the BLOB table lock themselves; call them with no BLOB entry held.
#ifndef KESTIL_FRAMEWORK_BUS_BLOB_TABLE_HPP
#define KESTIL_FRAMEWORK_BUS_BLOB_TABLE_HPP

#include "framework/bus/properties.h"

// The property's block moved from old_block (or shrank) to property with count items: entries
// of items that no longer exist are orphaned, the others re-pointed.
void kestil_blob_table_resized(const void* old_block, KestilProperty* property);
// Every entry of the property is orphaned (freed when nobody holds it).
void kestil_blob_table_orphan(const KestilProperty* property);
// Entries whose mode ("wo" upload or "ro" data) no longer matches the permission drop their data.
void kestil_blob_table_align(KestilProperty* property);
// Gives every item of a "wo" property an upload entry. Result: false when the table is full.
bool kestil_blob_table_add_uploads(KestilProperty* property);
// Gives every item of an "ro" property an entry holding a private copy of the item's data.
// Result: false when the table is full.
bool kestil_blob_table_cache(KestilProperty* property);

#endif
