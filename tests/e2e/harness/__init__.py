"""What the end-to-end tests and the benchmarks share.

- harness.wine: the Wine prefixes, processes started under them with their
  output in files, the program's port, vantrel.exe started until it serves
  and closed again, ddewatch's output and winctl;
- harness.feed: feed clients on 127.0.0.1:8902, on a plain socket or on the
  websockets library, frames and feed messages, and the asyncio limits;
- harness.cells: ddewatch as the spreadsheet, without blocking a feed client;
- harness.browser: headless Chromium on a page of the tests' own;
- harness.devtools: Chromium driven through its DevTools protocol, for the
  product's own pages;
- harness.local: Linux processes beside the Wine ones (the feed simulator,
  the console's server, the benchmark's feed client), stopped with them.

Every wait has a hard limit, so nothing here can hang a test.
"""
