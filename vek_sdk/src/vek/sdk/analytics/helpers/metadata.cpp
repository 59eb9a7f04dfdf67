#include <vek/sdk/analytics/helpers/metadata.h>

namespace vek::sdk::analytics {

const IAttribute* MetadataFields::attributeAt(int index) const {
    if (index < 0 || index >= static_cast<int>(attributes.size()))
        return nullptr;
    Attribute* attribute = attributes[static_cast<size_t>(index)].get();
    attribute->addRef();
    return attribute;
}

}  // namespace vek::sdk::analytics
