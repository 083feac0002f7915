// One step of scrolling a frame through, so that what loads only as it comes into view loads. Both
// browser engines call it in every frame, from a script world of their own:
//
//     (the script)(step)
//
// Step n puts the frame's top at n viewport heights (0 is the top), counted from the top rather than
// from where the page left it, so a page that scrolls itself back up still gets scrolled through.
// The answer is 'none' when the frame cannot scroll at all, 'end' when it shows its bottom, otherwise
// 'more'.
(function (step) {
    var root = document.scrollingElement || document.documentElement;
    if (!root)
        return 'end';
    var height = window.innerHeight || root.clientHeight;
    var bottom = Math.max(0, root.scrollHeight - height);
    if (bottom === 0)
        return 'none';
    var top = Math.min(step * height, bottom);
    // 'instant' overrides a page's smooth scrolling, which would still be under way at the next step.
    window.scrollTo({ left: window.scrollX, top: top, behavior: 'instant' });
    return step > 0 && top >= bottom ? 'end' : 'more';
})
