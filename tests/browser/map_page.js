// Drives the map page in headless Chromium (Debian's, no browser download):
//   node map_page.js BASE_URL [SCREENSHOT_DIR]
// MAP_CHECKS (JSON) names what to look for in the data set:
//   {"parcel": {"query": "10 A01", "id": 98, "point": [lon, lat]},   the search for a parcel
//    "htmlRoad": "<b>…</b>"}                                          a road whose name is HTML
// Prints one JSON line of what it saw; the pytest side judges it. With a
// directory, it keeps the screenshots map.png (the opening view),
// map-parcels.png (zoom 18) and map-search.png (a search result) there.
const path = require("path");
const { chromium } = require(require.resolve("playwright-core", { paths: [process.env.HOST_DIR] }));

const ZOOMS = [12, 13, 14, 15, 16, 17, 18, 18.5, 19.5];
const LABEL_LAYERS = ["plots-label", "cadzones-label", "districts-label", "lgas-label", "beacons-label"];

// Waits until the view's names and tiles are loaded and MapLibre has drawn
// and placed them (an "idle" after a forced repaint).
async function settle(page) {
  await page.waitForFunction(() => {
    const map = window.registryMap;
    return document.body.dataset.labels === "ready" && !map.isMoving() && map.loaded() && map.areTilesLoaded();
  }, null, { timeout: 90000, polling: 100 });
  await page.evaluate(() => new Promise((resolve) => {
    window.registryMap.once("idle", resolve);
    window.registryMap.triggerRepaint();
  }));
}

// What the names of the current view are: for every drawn name its box on
// the screen (from its text, font size, anchor and offset as the style gives
// them), whether a parcel's number stands on that parcel's drawn fill (its
// anchor, and its whole box), how many boxes overlap, and which parcels with
// room for their number lack it.
async function auditLabels(layers) {
  const map = window.registryMap;
  const canvas = map.getCanvas().getBoundingClientRect();
  const context = document.createElement("canvas").getContext("2d");
  const onScreen = (p) => p.x >= 0 && p.y >= 0 && p.x < canvas.width && p.y < canvas.height;
  const boxes = [];
  const seen = { plots: 0, inside: 0, outside: [], boxOutside: 0, duplicates: 0, areas: [], parcels: [], overlaps: [] };
  const plotIds = new Set();
  const onParcel = (p, id) => onScreen(p) &&
    map.queryRenderedFeatures([p.x, p.y], { layers: ["plots-fill"] }).some((f) => f.properties.ID === id);
  for (const layer of layers) {
    if (!map.getLayer(layer)) continue;
    const size = map.getLayoutProperty(layer, "text-size");
    const font = map.getLayoutProperty(layer, "text-font")[0];
    const anchor = map.getLayoutProperty(layer, "text-anchor") || "center";
    const [dx, dy] = (map.getLayoutProperty(layer, "text-offset") || [0, 0]).map((v) => v * size);
    context.font = `${/Bold/.test(font) ? "bold " : ""}${size}px "DejaVu Sans"`;
    for (const f of map.queryRenderedFeatures({ layers: [layer] })) {
      const text = String(f.properties.label ?? f.properties.BEACON_NO ?? "");
      const rows = text.split("\n");
      const width = Math.max(...rows.map((row) => context.measureText(row).width));
      const height = rows.length * size * 1.2;
      const at = map.project(f.geometry.coordinates);
      const left = anchor === "left" ? at.x + dx : at.x + dx - width / 2;
      const box = [left, at.y + dy - height / 2, left + width, at.y + dy + height / 2];
      boxes.push({ layer, text, box });
      if (layer === "plots-label") {
        const id = f.properties.id;
        if (plotIds.has(id)) seen.duplicates++;
        plotIds.add(id);
        if (!onScreen(at)) continue;
        seen.plots++;
        seen.parcels.push([id, ...f.geometry.coordinates]);
        if (onParcel(at, id)) seen.inside++;
        else seen.outside.push([id, text, Math.round(at.x), Math.round(at.y)]);
        const corners = [[box[0], box[1]], [box[2], box[1]], [box[0], box[3]], [box[2], box[3]]];
        if (!corners.every(([x, y]) => !onScreen({ x, y }) || onParcel({ x, y }, id))) seen.boxOutside++;
      } else if (layer !== "beacons-label") {
        seen.areas.push([layer.replace("-label", ""), f.properties.id, ...f.geometry.coordinates]);
      }
    }
  }
  // Boxes touching at their edges (MapLibre keeps a padding between them)
  // are not counted: each is taken a pixel smaller on every side.
  const inner = boxes.map(({ box }) => [box[0] + 1, box[1] + 1, box[2] - 1, box[3] - 1]);
  for (let i = 0; i < boxes.length; i++) {
    for (let j = i + 1; j < boxes.length; j++) {
      const [a, b] = [inner[i], inner[j]];
      if (a[0] < b[2] && b[0] < a[2] && a[1] < b[3] && b[1] < a[3]) seen.overlaps.push([boxes[i].text, boxes[j].text]);
    }
  }
  seen.labels = boxes.length;
  // The parcels of the view with room for a number of four digits (a circle
  // of 25 px inside them), their label point 30 px or more inside the view,
  // as the service gives them: which of them have no number drawn?
  const b = map.getBounds();
  const view = new URLSearchParams({ west: b.getWest(), south: b.getSouth(), east: b.getEast(), north: b.getNorth(), limit: 5000 });
  const metresPerPixel = 2 * Math.PI * 6378137 / (512 * 2 ** map.getZoom());
  const { features } = await (await fetch(`/labels/plots?${view}`)).json();
  seen.missing = features.filter((f) => {
    const p = map.project(f.geometry.coordinates);
    return f.properties.radius / metresPerPixel >= 25 && p.x >= 30 && p.y >= 30 &&
      p.x < canvas.width - 30 && p.y < canvas.height - 30 && !plotIds.has(f.properties.id);
  }).map((f) => f.properties.id);
  return seen;
}

async function typeSearch(page, text) {
  await page.fill("#search", "");
  await page.click("#search");
  await page.keyboard.type(text, { delay: 40 });
  await page.waitForFunction((q) => {
    const list = document.getElementById("matches");
    return !list.hidden && list.dataset.query === q.trim();
  }, text, { timeout: 20000 });
  return page.evaluate(() => [...document.querySelectorAll("#matches li")].map((li) => ({
    title: (li.querySelector(".title") || li).textContent,
    detail: li.querySelector(".detail") ? li.querySelector(".detail").textContent : null,
    elements: [...li.querySelectorAll("*")].map((e) => e.tagName.toLowerCase()),
  })));
}

// Chooses the first match and reports the popup that opens and the feature
// outlined on the layer's "-selected" layer.
async function chooseFirst(page, layer, shot) {
  await page.click("#matches li[data-index='0']");
  await page.waitForSelector(".maplibregl-popup", { timeout: 60000 });
  await settle(page);
  if (shot) await page.screenshot({ path: shot });
  return page.evaluate((layer) => {
    const map = window.registryMap;
    const element = document.querySelector(".maplibregl-popup");
    const popup = element.querySelector(".maplibregl-popup-content");
    // the screen point the popup is anchored at, from its placement
    const [x, y] = [...element.style.transform.matchAll(/translate\(([-\d.]+)px,\s*([-\d.]+)px\)/g)].pop().slice(1).map(Number);
    const filter = map.getFilter(`${layer}-selected`);
    return {
      popups: document.querySelectorAll(".maplibregl-popup").length,
      title: popup.querySelector("h3").textContent,
      fields: Object.fromEntries([...popup.querySelectorAll("tr")].map((tr) => [...tr.children].map((td) => td.textContent))),
      elements: [...popup.querySelectorAll("*")].map((e) => e.tagName.toLowerCase()),
      selectedIds: filter[2][1],
      outlined: map.queryRenderedFeatures({ layers: [`${layer}-selected`] }).length,
      underPopup: map.queryRenderedFeatures([x, y], { layers: ["plots-fill"] }).map((f) => f.properties.ID),
      zoom: map.getZoom(),
      injected: window.__injected === true,
    };
  }, layer);
}

(async () => {
  const [base, shots] = process.argv.slice(2);
  const checks = JSON.parse(process.env.MAP_CHECKS || "{}");
  const browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
    args: ["--no-sandbox", "--use-angle=swiftshader", "--enable-unsafe-swiftshader"],
  });
  const seen = { consoleErrors: [], zooms: [] };
  const shot = (name) => (shots ? path.join(shots, name) : null);
  try {
    const page = await browser.newPage({ viewport: { width: 1000, height: 700 } });
    // Chromium reports every answer of 408, 429 or 503 as an error; the page
    // asks for such a tile again, so those are counted apart.
    seen.retriedLoads = 0;
    page.on("console", (m) => {
      if (m.type() !== "error") return;
      if (/^Failed to load resource: the server responded with a status of (408|429|503)\b/.test(m.text())) seen.retriedLoads++;
      else seen.consoleErrors.push(m.text());
    });
    page.on("pageerror", (e) => seen.consoleErrors.push(String(e)));
    await page.goto(`${base}/`);
    await page.waitForFunction(() => window.registryMap && window.registryMap.loaded(), null, { timeout: 60000 });
    await settle(page);
    if (shots) await page.screenshot({ path: shot("map.png") });
    seen.opening = await page.evaluate((layers) => ({
      zoom: window.registryMap.getZoom(),
      names: Object.fromEntries(layers.map((l) => [l, window.registryMap.queryRenderedFeatures({ layers: [l] }).length])),
    }), LABEL_LAYERS);
    const centre = await page.evaluate(() => window.registryMap.getCenter().toArray());
    const bounds = await page.evaluate(() => window.registryMap.getBounds().toArray());

    // Names at each zoom: at the middle of the data, and from zoom 16 on (where
    // a view holds only part of it) also at the parcel searched for below (or
    // halfway to the data's north-west corner).
    const second = checks.parcel ? checks.parcel.point : [(centre[0] + bounds[0][0]) / 2, (centre[1] + bounds[1][1]) / 2];
    for (const zoom of ZOOMS) {
      const places = zoom >= 16 ? [centre, second] : [centre];
      for (const place of places) {
        await page.evaluate(([z, c]) => window.registryMap.jumpTo({ zoom: z, center: c }), [zoom, place]);
        await settle(page);
        seen.zooms.push({ zoom, place, ...(await page.evaluate(auditLabels, LABEL_LAYERS)) });
      }
    }

    if (checks.parcel) {
      await page.evaluate(([c]) => window.registryMap.jumpTo({ zoom: 18, center: c }), [checks.parcel.point]);
      await settle(page);
      if (shots) await page.screenshot({ path: shot("map-parcels.png") });
      await page.evaluate(([c]) => window.registryMap.jumpTo({ zoom: 14, center: c }), [centre]);
      await settle(page);
      seen.parcelMatches = await typeSearch(page, checks.parcel.query);
      seen.parcelChoice = await chooseFirst(page, "plots", shot("map-search.png"));
      seen.nothingMatches = await typeSearch(page, "zz no such place 0");
    }
    if (checks.htmlRoad) {
      seen.roadMatches = await typeSearch(page, checks.htmlRoad.slice(0, 20));
      seen.roadChoice = await chooseFirst(page, "roads", null);
    }

    // A parcel's popup links its deed plan: click a parcel away from beacons and names.
    await page.evaluate(([c]) => window.registryMap.jumpTo({ zoom: 17.5, center: c }), [centre]);
    await settle(page);
    seen.parcelsRendered = await page.evaluate(() => window.registryMap.queryRenderedFeatures({ layers: ["plots-fill"] }).length);
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
      const link = await page.waitForSelector(".maplibregl-popup a.deed-plan", { timeout: 10000, state: "attached" });
      seen.popups = await page.evaluate(() => document.querySelectorAll(".maplibregl-popup").length);
      const href = await link.getAttribute("href");
      const answer = await page.request.get(`${base}${href}`);
      seen.deedStatus = answer.status();
      seen.deedType = answer.headers()["content-type"];
      seen.deedMagic = (await answer.body()).subarray(0, 4).toString("latin1");
    }
    await page.uncheck('input[data-layer="plots"]');
    seen.plotsVisibility = await page.evaluate(() => ["plots-fill", "plots-label"].map(
      (id) => window.registryMap.getLayoutProperty(id, "visibility")));
  } finally {
    await browser.close();
  }
  console.log(JSON.stringify(seen));
})().catch((e) => { console.error(e); process.exit(1); });
