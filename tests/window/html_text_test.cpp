// The news page as the fallback view reads it: the text a player would see in a browser, line by line.
#include "window/html_text.h"

#include <gtest/gtest.h>

namespace pc::test {
namespace {

TEST(HtmlText, PagesReadAsTheTextABrowserShows) {
    const struct {
        const char* what;
        const char* html;
        const char* text;
    } cases[] = {
        {"headings and paragraphs end their lines",
         "<html><body><h1>Realm news</h1><p>Patch day</p></body></html>", "Realm news\nPatch day"},
        {"every heading level, division and list item is a line of its own",
         "<h2>Events</h2><ul><li>Double XP</li><li>Arena</li></ul><h3>Staff</h3><div>GM Ana</div>",
         "Events\nDouble XP\nArena\nStaff\nGM Ana"},
        {"consecutive block ends give no empty line", "<div><p>one</p></div><hr><p>two</p>", "one\ntwo"},
        {"line breaks in any spelling, tags in any case and with attributes",
         "a<br>b<BR/>c<br />d<P CLASS=\"news\">e", "a\nb\nc\nd\ne"},
        {"runs of blanks and the source's line breaks are one blank", "one\n  two\t\r\n three<br>four",
         "one two three\nfour"},
        {"blanks at the ends of a line are dropped", "<p>  padded \t </p>\n<p> next </p>", "padded\nnext"},
        {"a table's cells stay apart on their row, each row a line",
         "<table><tr><td>01 May</td><td>Patch 3</td></tr><tr><th>28 Apr</th><td>XP</td></tr></table>",
         "01 May Patch 3\n28 Apr XP"},
        {"a table stands apart from the text around it",
         "Results<table><tr><td>Ana</td><td>12</td></tr></table>more", "Results\nAna 12\nmore"},
        {"a span followed at once by another element stands apart, as its style's margin shows it",
         "<p><span class=\"date\">01 May</span><b>Patch 3</b> rebalances</p><span>Pat</span>ch "
         "<span>a</span></p>",
         "01 May Patch 3 rebalances\nPatch a"},
        {"the head, its title and its style are not shown",
         "<HEAD><title>Realm</title><style>p { color: red }</style></HEAD><p>body</p>", "body"},
        {"a script is dropped, tags in its text included", "<script>var x = '<p>';</script>shown", "shown"},
        {"a style in the body is dropped", "before<style type=\"text/css\">.a{}</style>after", "beforeafter"},
        {"the common entities are decoded", "<p>a &amp; b &lt;c&gt; &quot;d&quot; &#39;e&#39;</p>",
         "a & b <c> \"d\" 'e'"},
        {"a no-break space is a blank like any other", "Patch&nbsp;&nbsp;3", "Patch 3"},
        {"entities are decoded once", "&amp;lt;", "&lt;"},
        {"an entity it does not know stays as written", "&copy; 2026 &#8364;", "&copy; 2026 &#8364;"},
        {"a comparison in a script does not hide the page after it",
         "<script>if (a < b) go();</script><p>Patch day</p>", "Patch day"},
        {"a style's text ends only at its own end tag", "<style>a[title='<b>']{}</style>shown", "shown"},
        {"a script in the head ends where it ends", "<head><script>x = a<b;</script></head>News", "News"},
        {"a '<' that opens no tag is text", "1 < 2 and 3 > 2; a<=b", "1 < 2 and 3 > 2; a<=b"},
        {"a '<' at the end of the page is text", "less <", "less <"},
        {"a comment is dropped, '>' inside it included", "a<!-- menu > news -->b<!---->c", "abc"},
        {"a tag cut off at the end of the page is dropped", "Patch day<p class=", "Patch day"},
        {"an empty page is empty text", "", ""},
        {"a page of markup only is empty text", "<html><body><p></p><br></body></html>", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HtmlToText(c.html), c.text) << c.what;
}

} // namespace
} // namespace pc::test
