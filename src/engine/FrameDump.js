// One frame's document as JSON, read in that frame from a script world of the engine's own (nothing
// the page's scripts did to the globals can change what is read). Both browser engines call it:
//
//     (the script)('chromium' or 'webkit', maxAttributes)
//
// and each reads its own answer (the Chromium engine's ReadFrameDump, the WebKit engine's
// ParseFrameDump). What both answers hold:
// 1. The frame's place among its parent's frames, level by level (allowed across origins).
// 2. The serialisation: the doctype and every top-level node as the browser writes it, nothing
//    between them.
// 3. Elements and comments in document order, each with its parent, its first maxAttributes
//    attributes in their own order, the address the browser resolves each address attribute to, and
//    an image's loaded candidate.
(function (engine, maxAttributes) {
    var d = document;
    var xhtml = 'http://www.w3.org/1999/xhtml';
    var addressNames = new Set(['href', 'src', 'real_src', 'background']);

    function indexPath(w) {
        var path = [];
        try {
            while (w.parent !== w) {
                var parent = w.parent, n = parent.frames.length, i = 0;
                while (i < n && parent.frames[i] !== w)
                    ++i;
                if (i === n)
                    return null;
                path.unshift(i);
                w = parent;
            }
        } catch (e) {
            return null;
        }
        return path;
    }

    // The top-level nodes' texts, and which of them is the root element's (-1 when none is).
    function topLevelParts() {
        var parts = [], rootPart = -1;
        for (var c = d.firstChild; c; c = c.nextSibling) {
            if (c.nodeType === 10)
                parts.push(new XMLSerializer().serializeToString(c));
            else if (c.nodeType === 8)
                parts.push('<!--' + c.data + '-->');
            else if (c.nodeType === 1) {
                if (c === d.documentElement)
                    rootPart = parts.length;
                parts.push(c.outerHTML);
            }
        }
        return { parts: parts, rootPart: rootPart };
    }

    // Every element and comment in document order; describe(element, parentIndex) gives an element's
    // entry, a comment's is ['!', parentIndex, []]. The positions map each node to its entry.
    function walkElements(describe) {
        var elements = [];
        var positions = new Map();
        var walker = d.createTreeWalker(d, NodeFilter.SHOW_ELEMENT | NodeFilter.SHOW_COMMENT);
        for (var node = walker.nextNode(); node; node = walker.nextNode()) {
            var parentIndex = -1;
            for (var up = node.parentNode; up; up = up.parentNode) {
                if (positions.has(up)) {
                    parentIndex = positions.get(up);
                    break;
                }
            }
            positions.set(node, elements.length);
            elements.push(node.nodeType === 8 ? ['!', parentIndex, []] : describe(node, parentIndex));
        }
        return { elements: elements, positions: positions };
    }

    function firstAttributes(node) {
        var attributes = [];
        for (var a = 0, count = Math.min(node.attributes.length, maxAttributes); a < count; ++a)
            attributes.push(node.attributes[a]);
        return attributes;
    }

    // Chromium: an element is [tagName, parent, [name, value, resolved, ...], currentSource?]; an
    // address attribute resolves as an unattached link of the same document resolves it (its base,
    // its character set for the query). For each frame or iframe element, the index of its window
    // among the document's frames. A document cut short before its body (a body still on its way at
    // the load time-out) is given the empty body a parser gives it at the end of its input.
    function chromiumDump() {
        var anchor = d.createElementNS(xhtml, 'a');
        function resolve(value) {
            if (/^[\t\n\f\r ]*$/.test(value))
                return '';
            anchor.setAttribute('href', value);
            var href = anchor.href;
            return typeof href !== 'string' || anchor.protocol === ':' ? '' : href;
        }
        var top = topLevelParts();
        var windows = [];
        for (var k = 0; k < window.frames.length; ++k)
            windows.push(window.frames[k]);
        var frames = [];
        var walked = walkElements(function (node, parentIndex) {
            var attributes = [], src = '';
            firstAttributes(node).forEach(function (attribute) {
                var resolved = addressNames.has(attribute.name.toLowerCase()) ? resolve(attribute.value) : '';
                if (attribute.name === 'src')
                    src = resolved;
                attributes.push(attribute.name, attribute.value, resolved);
            });
            var item = [node.tagName, parentIndex, attributes];
            var local = node.namespaceURI === xhtml ? node.localName : '';
            if (local === 'img' && node.currentSrc && node.currentSrc !== src && node.currentSrc !== node.src)
                item.push(node.currentSrc);
            if (local === 'iframe' || local === 'frame') {
                var shown = node.contentWindow;
                frames.push(shown ? windows.indexOf(shown) : -1);
            }
            return item;
        });
        var parts = top.parts, elements = walked.elements;
        var root = d.documentElement;
        if (!root) {
            parts.push('<html><head></head><body></body></html>');
            var at = elements.length;
            elements.push(['HTML', -1, []], ['HEAD', at, []], ['BODY', at, []]);
        } else if (!d.body && root.namespaceURI === xhtml && root.localName === 'html' && top.rootPart >= 0) {
            var closing = '</' + root.tagName.toLowerCase() + '>';
            var text = parts[top.rootPart];
            if (text.endsWith(closing))
                parts[top.rootPart] = text.slice(0, text.length - closing.length) + '<body></body>' + closing;
            elements.push([root.tagName === 'HTML' ? 'BODY' : 'body', walked.positions.get(root), []]);
        }
        return {
            path: indexPath(window),
            url: d.URL,
            characterSet: d.characterSet,
            html: parts.join(''),
            elements: elements,
            frames: frames
        };
    }

    // WebKit: an element is [tagName, parent, [name, value, ...], [index, resolved, ...]?,
    // currentSource?]; an address attribute resolves as the engine resolves it for a request (against
    // the base element, the query in the document's character set). For each of the document's
    // frames, the address its frame element asks for; whether the document has no address of its own.
    function webkitDump() {
        var url = d.URL;
        // A document without an address of its own: the blank page, srcdoc, a javascript: or data:
        // address. A script-written document reports its writer's address; the view tells those apart.
        var inherited = url === 'about:blank' || url === 'about:srcdoc' || /^(javascript|data):/i.test(url);
        var top = topLevelParts();
        var anchor = d.createElement('a');
        function resolve(element, name, value) {
            var resolved = '';
            if (name === 'href' || name === 'src') {
                var property = element[name];
                if (typeof property === 'string')
                    resolved = property;
            }
            if (resolved === '') {
                anchor.setAttribute('href', value);
                resolved = anchor.href;
            }
            try {
                new URL(resolved);
            } catch (e) {
                return '';
            }
            return resolved;
        }
        var frameSources = [];
        for (var f = 0; f < window.frames.length; ++f)
            frameSources.push('');
        var frameElements = d.querySelectorAll('iframe, frame');
        for (var e = 0; e < frameElements.length; ++e) {
            var frameWindow = frameElements[e].contentWindow;
            for (var f = 0; frameWindow && f < window.frames.length; ++f) {
                if (window.frames[f] === frameWindow) {
                    var source = frameElements[e].getAttribute('src');
                    if (source !== null && !/^\s*$/.test(source) && !frameElements[e].hasAttribute('srcdoc'))
                        frameSources[f] = resolve(frameElements[e], 'src', source);
                    break;
                }
            }
        }
        var walked = walkElements(function (node, parentIndex) {
            var attributes = [], resolved = [];
            firstAttributes(node).forEach(function (attribute, k) {
                attributes.push(attribute.name, attribute.value);
                var name = attribute.name.toLowerCase();
                if (addressNames.has(name) && !/^\s*$/.test(attribute.value)) {
                    var address = resolve(node, name, attribute.value);
                    if (address !== '')
                        resolved.push(k, address);
                }
            });
            var item = [node.tagName, parentIndex, attributes];
            var current = node.localName === 'img' ? node.currentSrc : '';
            if (current && current === node.src)
                current = '';
            if (resolved.length || current)
                item.push(resolved);
            if (current)
                item.push(current);
            return item;
        });
        return {
            path: indexPath(window),
            url: url,
            inherited: inherited,
            characterSet: d.characterSet,
            frameCount: window.frames.length,
            frameSources: frameSources,
            html: top.parts.join(''),
            elements: walked.elements
        };
    }

    var text = JSON.stringify(engine === 'webkit' ? webkitDump() : chromiumDump());
    return typeof text.toWellFormed === 'function' ? text.toWellFormed() : text;
})
