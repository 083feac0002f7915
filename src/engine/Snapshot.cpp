#include "engine/Snapshot.h"

#include "base/Ascii.h"

#include <algorithm>

namespace pagestow::engine {
namespace {

    [[noreturn]] void ThrowOutOfRange(std::int32_t position)
    {
        throw EngineError("The index " + std::to_string(position) + " is outside the collection");
    }

} // namespace

std::vector<SnapshotElement> BlankDocumentElements()
{
    return { { "HTML", {}, -1 }, { "HEAD", {}, 0 }, { "BODY", {}, 0 } };
}

std::shared_ptr<SnapshotDocument> MakeBlankDocument(std::string url, DocumentOrigin origin)
{
    auto blank = std::make_shared<SnapshotDocument>();
    blank->url = std::move(url);
    blank->origin = origin;
    blank->characterSet = "UTF-8";
    blank->elements = BlankDocumentElements();
    blank->body = 2;
    return blank;
}

int FindBodyElement(const SnapshotDocument& document)
{
    int frameset = -1;
    for (size_t i = 0; i < document.elements.size(); ++i) {
        const std::string& tag = document.elements[i].tagName;
        if (base::EqualsIgnoringAsciiCase(tag, "body"))
            return int(i);
        if (frameset < 0 && base::EqualsIgnoringAsciiCase(tag, "frameset"))
            frameset = int(i);
    }
    return frameset;
}

// Every object of the view is owned by Impl and handed out as a shared pointer that keeps the whole
// view alive, so objects can point at each other without reference cycles.
struct SnapshotView::Impl : std::enable_shared_from_this<SnapshotView::Impl> {
    struct DocumentObject;

    ObjectPtr Share(Object* object) { return object ? ObjectPtr(shared_from_this(), object) : nullptr; }

    struct AttributeObject final : DomAttribute, ResolvedAttribute {
        const SnapshotAttribute* data = nullptr;
        std::string NodeName() const override { return data->name; }
        std::string NodeValue() const override { return data->value; }
        std::string EngineAddress() const override { return data->resolved; }
    };

    struct AttributesObject final : AttributeCollection {
        Impl* impl = nullptr;
        std::vector<std::unique_ptr<AttributeObject>> items;
        std::int32_t Length() const override { return std::int32_t(items.size()); }
        ObjectPtr Item(std::int32_t position) const override
        {
            if (position < 0 || position >= Length())
                ThrowOutOfRange(position);
            return impl->Share(items[size_t(position)].get());
        }
    };

    struct ElementObject final : HtmlElement, DomNode, ImageSource {
        DocumentObject* document = nullptr;
        std::int32_t index = 0;
        AttributesObject attributes;
        ObjectPtr ParentElement() const override;
        ObjectPtr Document() const override;
        std::string TagName() const override;
        std::int32_t SourceIndex() const override { return index; }
        ObjectPtr Attributes() const override;
        std::string CurrentSource() const override;
    };

    struct AllObject final : ElementCollection {
        DocumentObject* document = nullptr;
        std::int32_t Length() const override;
        ObjectPtr Item(std::int32_t position) const override;
    };

    struct BrowserObject final : WebBrowser {
        DocumentObject* document = nullptr;
        ObjectPtr Document() const override;
    };

    struct WindowObject final : HtmlWindow, ServiceProvider {
        Impl* impl = nullptr;
        BrowserObject* browser = nullptr;
        ObjectPtr QueryService(ServiceId service) const override
        {
            return service == ServiceId::WebBrowserApp ? impl->Share(browser) : nullptr;
        }
    };

    struct FramesObject final : FramesCollection {
        Impl* impl = nullptr;
        std::vector<std::unique_ptr<WindowObject>> windows;
        std::int32_t Length() const override { return std::int32_t(windows.size()); }
        ObjectPtr Item(std::int32_t index) const override
        {
            if (index < 0 || index >= Length())
                ThrowOutOfRange(index);
            return impl->Share(windows[size_t(index)].get());
        }
    };

    struct DocumentObject final : HtmlDocument, PersistStream, DocumentOriginInfo {
        Impl* impl = nullptr;
        std::shared_ptr<const SnapshotDocument> data;
        std::vector<std::unique_ptr<ElementObject>> elements;
        AllObject all;
        FramesObject frames;

        std::string Url() const override { return data->url; }
        DocumentAddressKind AddressKind() const override
        {
            switch (data->origin) {
            case DocumentOrigin::Inherited:
                return DocumentAddressKind::Inherited;
            case DocumentOrigin::Failed:
                return DocumentAddressKind::Failed;
            case DocumentOrigin::Loaded:
                break;
            }
            return DocumentAddressKind::Own;
        }
        ObjectPtr Body() const override
        {
            if (data->body < 0 || size_t(data->body) >= elements.size())
                return nullptr;
            return impl->Share(elements[size_t(data->body)].get());
        }
        ObjectPtr All() const override { return impl->Share(const_cast<AllObject*>(&all)); }
        ObjectPtr Frames() const override { return impl->Share(const_cast<FramesObject*>(&frames)); }
        std::int32_t Save(std::string& stream, bool) override
        {
            stream += data->serialization;
            return 0;
        }
    };

    std::vector<std::unique_ptr<DocumentObject>> documents;
    std::vector<std::unique_ptr<BrowserObject>> browsers;
    // The frames' addresses in completion order; frame i is shown by browsers[i]. Impl keeps no
    // shared pointer to itself, so the view is freed once nothing holds one of its objects.
    std::vector<std::string> frameCompletionUrls;

    DocumentObject* Build(std::shared_ptr<const SnapshotDocument> data);
};

ObjectPtr SnapshotView::Impl::ElementObject::ParentElement() const
{
    // A parent precedes its child in source order; any other position would let a walk up the
    // parents go round in circles, so it reads as no parent.
    int parent = document->data->elements[size_t(index)].parent;
    if (parent < 0 || parent >= index)
        return nullptr;
    return document->impl->Share(document->elements[size_t(parent)].get());
}

ObjectPtr SnapshotView::Impl::ElementObject::Document() const
{
    return document->impl->Share(document);
}

std::string SnapshotView::Impl::ElementObject::TagName() const
{
    return document->data->elements[size_t(index)].tagName;
}

std::string SnapshotView::Impl::ElementObject::CurrentSource() const
{
    return document->data->elements[size_t(index)].currentSource;
}

ObjectPtr SnapshotView::Impl::ElementObject::Attributes() const
{
    return document->impl->Share(const_cast<AttributesObject*>(&attributes));
}

std::int32_t SnapshotView::Impl::AllObject::Length() const
{
    return std::int32_t(document->elements.size());
}

ObjectPtr SnapshotView::Impl::AllObject::Item(std::int32_t position) const
{
    if (position < 0 || position >= Length())
        ThrowOutOfRange(position);
    return document->impl->Share(document->elements[size_t(position)].get());
}

ObjectPtr SnapshotView::Impl::BrowserObject::Document() const
{
    return document ? document->impl->Share(document) : nullptr;
}

SnapshotView::Impl::DocumentObject* SnapshotView::Impl::Build(std::shared_ptr<const SnapshotDocument> data)
{
    auto document = std::make_unique<DocumentObject>();
    DocumentObject* raw = document.get();
    raw->impl = this;
    raw->data = std::move(data);
    raw->all.document = raw;
    raw->frames.impl = this;
    const auto& elements = raw->data->elements;
    raw->elements.reserve(elements.size());
    for (size_t i = 0; i < elements.size(); ++i) {
        auto element = std::make_unique<ElementObject>();
        element->document = raw;
        element->index = std::int32_t(i);
        element->attributes.impl = this;
        for (const auto& attribute : elements[i].attributes) {
            auto node = std::make_unique<AttributeObject>();
            node->data = &attribute;
            element->attributes.items.push_back(std::move(node));
        }
        raw->elements.push_back(std::move(element));
    }
    documents.push_back(std::move(document));

    for (const SnapshotFrame& frame : raw->data->frames) {
        auto window = std::make_unique<WindowObject>();
        window->impl = this;
        if (frame.document) {
            DocumentObject* child = Build(frame.document);
            auto browser = std::make_unique<BrowserObject>();
            browser->document = child;
            window->browser = browser.get();
            browsers.push_back(std::move(browser));
            frameCompletionUrls.push_back(frame.document->url);
        }
        raw->frames.windows.push_back(std::move(window));
    }
    return raw;
}

SnapshotView::SnapshotView(std::shared_ptr<const SnapshotDocument> top)
    : m_impl(std::make_shared<Impl>())
{
    if (top)
        m_impl->Build(std::move(top));
}

ObjectPtr SnapshotView::TopDocument() const
{
    return m_impl->documents.empty() ? nullptr : m_impl->Share(m_impl->documents.front().get());
}

std::vector<SnapshotView::FrameCompletion> SnapshotView::FrameCompletions() const
{
    // Build() records each frame after the frames inside it, and makes the frames' browsers in that
    // same order, so the two lists pair up by position.
    std::vector<FrameCompletion> completions;
    completions.reserve(m_impl->frameCompletionUrls.size());
    for (size_t i = 0; i < m_impl->frameCompletionUrls.size(); ++i)
        completions.push_back({ m_impl->Share(m_impl->browsers[i].get()), m_impl->frameCompletionUrls[i] });
    return completions;
}

} // namespace pagestow::engine
