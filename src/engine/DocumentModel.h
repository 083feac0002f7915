#pragma once

#include "engine/EngineError.h"

#include <cstdint>
#include <memory>
#include <string>

namespace pagestow::engine {

// Everything the document model hands out is an Object; what an object can do is given by the
// roles (interfaces) below that it implements. Take an object as a role with As<Role>().
class Object {
public:
    virtual ~Object() = default;
};
using ObjectPtr = std::shared_ptr<Object>;

// The object taken as Role: null for a null object, EngineError("Interface not supported") when the
// object lacks the role.
template <class Role>
std::shared_ptr<Role> As(const ObjectPtr& object)
{
    if (!object)
        return nullptr;
    auto role = std::dynamic_pointer_cast<Role>(object);
    if (!role)
        throw EngineError(std::string(kInterfaceNotSupported));
    return role;
}

// Whether the object has the role, without raising.
template <class Role>
bool Supports(const ObjectPtr& object)
{
    return object && std::dynamic_pointer_cast<Role>(object) != nullptr;
}

// An HTML document: its address, body element, all elements in source order, and its frames.
class HtmlDocument : public virtual Object {
public:
    virtual std::string Url() const = 0;
    // The body element (or the frameset element); null when there is none.
    virtual ObjectPtr Body() const = 0;
    // An ElementCollection of every element in source order, comments included (tag name "!").
    virtual ObjectPtr All() const = 0;
    // A FramesCollection of the document's frames in index order.
    virtual ObjectPtr Frames() const = 0;
};

// Writes a document's serialisation.
class PersistStream : public virtual Object {
public:
    // Appends the document's bytes to stream; 0 on success, otherwise a failure status.
    virtual std::int32_t Save(std::string& stream, bool clearDirty) = 0;
};

class HtmlElement : public virtual Object {
public:
    // The parent element, null at the root.
    virtual ObjectPtr ParentElement() const = 0;
    // The document that owns the element.
    virtual ObjectPtr Document() const = 0;
    virtual std::string TagName() const = 0;
    virtual std::int32_t SourceIndex() const = 0;
};

class DomNode : public virtual Object {
public:
    // The node's AttributeCollection.
    virtual ObjectPtr Attributes() const = 0;
};

class ElementCollection : public virtual Object {
public:
    virtual std::int32_t Length() const = 0;
    // The element at a position; EngineError for a position outside the collection.
    virtual ObjectPtr Item(std::int32_t position) const = 0;
};

class AttributeCollection : public virtual Object {
public:
    virtual std::int32_t Length() const = 0;
    // The DomAttribute at a position; EngineError for a position outside the collection.
    virtual ObjectPtr Item(std::int32_t position) const = 0;
};

class DomAttribute : public virtual Object {
public:
    virtual std::string NodeName() const = 0;
    // The value as text; a null value reads as "".
    virtual std::string NodeValue() const = 0;
};

// What the engine itself made of an address attribute, beside its value as written.
class ResolvedAttribute : public virtual Object {
public:
    // The absolute address the engine resolved the value to; "" when it resolved none.
    virtual std::string EngineAddress() const = 0;
};

// An image element's loaded candidate.
class ImageSource : public virtual Object {
public:
    // The absolute address of the srcset or <picture> candidate the engine loaded; "" when none.
    virtual std::string CurrentSource() const = 0;
};

// Whether a document has an address of its own (see engine::DocumentOrigin).
enum class DocumentAddressKind { Own, Inherited, Failed };

class DocumentOriginInfo : public virtual Object {
public:
    virtual DocumentAddressKind AddressKind() const = 0;
};

class FramesCollection : public virtual Object {
public:
    virtual std::int32_t Length() const = 0;
    // The frame's window object at an index; EngineError for an index outside the collection.
    virtual ObjectPtr Item(std::int32_t index) const = 0;
};

// A frame's window. Its browser is reached through the ServiceProvider role.
class HtmlWindow : public virtual Object { };

// The service a window asks for its browser with.
enum class ServiceId { WebBrowserApp };

class ServiceProvider : public virtual Object {
public:
    // The service's object (a WebBrowser for WebBrowserApp), or null when the service is refused.
    virtual ObjectPtr QueryService(ServiceId service) const = 0;
};

// A browser object: the top-level browser of an engine, or the browser that shows a frame.
class WebBrowser : public virtual Object {
public:
    // The current document, null when there is none.
    virtual ObjectPtr Document() const = 0;
};

} // namespace pagestow::engine
