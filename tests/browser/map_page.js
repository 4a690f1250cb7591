// Drives the map page in headless Chromium (Debian's, no browser download):
//   node map_page.js BASE_URL [SCREENSHOT]
// Prints one JSON line of what it saw; the pytest side judges it.
const { chromium } = require(require.resolve("playwright-core", { paths: [process.env.HOST_DIR] }));

(async () => {
  const [base, screenshot] = process.argv.slice(2);
  const browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
    args: ["--no-sandbox", "--use-angle=swiftshader", "--enable-unsafe-swiftshader"],
  });
  const seen = { consoleErrors: [] };
  try {
    const page = await browser.newPage({ viewport: { width: 1000, height: 700 } });
    page.on("console", (m) => { if (m.type() === "error") seen.consoleErrors.push(m.text()); });
    page.on("pageerror", (e) => seen.consoleErrors.push(String(e)));
    await page.goto(`${base}/`);
    await page.waitForFunction(() => window.registryMap && window.registryMap.loaded() &&
      window.registryMap.areTilesLoaded(), null, { timeout: 60000 });
    await page.evaluate(() => window.registryMap.jumpTo({ zoom: 17.5 }));
    await page.waitForFunction(() => !window.registryMap.isMoving() && window.registryMap.areTilesLoaded() &&
      window.registryMap.queryRenderedFeatures({ layers: ["plots-fill"] }).length > 0, null, { timeout: 60000 });
    seen.parcelsRendered = await page.evaluate(() => window.registryMap.queryRenderedFeatures({ layers: ["plots-fill"] }).length);
    // The screen point of a rendered parcel's inside.
    const point = await page.evaluate(() => {
      const map = window.registryMap;
      const { width, height } = map.getCanvas().getBoundingClientRect();
      const clickable = ["beacons-circle", "plots-fill", "roads-line", "roads-fill", "cadzones-fill"];
      for (let y = 250; y < height - 50; y += 15) for (let x = 300; x < width - 100; x += 15) {
        const top = map.queryRenderedFeatures([[x - 6, y - 6], [x + 6, y + 6]], { layers: clickable });
        const at = map.queryRenderedFeatures([x, y], { layers: clickable });
        if (at.length && at[0].sourceLayer === "plots" && !top.some((f) => f.sourceLayer === "beacons")) return { x, y };
      }
      return null;
    });
    if (point) {
      seen.point = point;
      await page.mouse.click(point.x, point.y);
      await page.waitForTimeout(1000);
      seen.popups = await page.evaluate(() => document.querySelectorAll(".maplibregl-popup").length);
      const link = await page.waitForSelector(".maplibregl-popup a.deed-plan", { timeout: 10000, state: "attached" });
      const href = await link.getAttribute("href");
      const answer = await page.request.get(`${base}${href}`);
      seen.deedStatus = answer.status();
      seen.deedType = answer.headers()["content-type"];
      seen.deedMagic = (await answer.body()).subarray(0, 4).toString("latin1");
    }
    if (screenshot) await page.screenshot({ path: screenshot });
    await page.uncheck('input[data-layer="plots"]');
    seen.plotsVisibility = await page.evaluate(() => window.registryMap.getLayoutProperty("plots-fill", "visibility"));
  } finally {
    await browser.close();
  }
  console.log(JSON.stringify(seen));
})().catch((e) => { console.error(e); process.exit(1); });
