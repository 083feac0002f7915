// Marks the page when a browser runs its scripts.
window.addEventListener("load", function () {
    var note = document.getElementById("script-note");
    if (note)
        note.textContent = "（脚本已运行）";
});
