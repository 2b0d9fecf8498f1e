import { defineConfig, type Plugin } from "vite";
import react from "@vitejs/plugin-react";
import { readFileSync } from "node:fs";

function emitSourceHtml(): Plugin {
  return {
    name: "corvana-source-html",
    generateBundle() {
      this.emitFile({ type: "asset", fileName: "index.html", source: readFileSync("index.html", "utf8") });
    },
  };
}

// The native side serves exactly index.html, assets/app.js, assets/app.css and
// app-icon.png and rewrites the three references of index.html itself, so the
// HTML is emitted as written and the bundle gets fixed names.
export default defineConfig({
  base: "./",
  plugins: [react(), emitSourceHtml()],
  build: {
    outDir: process.env.CORVANA_UI_OUT_DIR ?? "dist",
    emptyOutDir: true,
    cssCodeSplit: false,
    modulePreload: false,
    rollupOptions: {
      input: "src/main.tsx",
      output: {
        entryFileNames: "assets/app.js",
        chunkFileNames: "assets/app-[name].js",
        assetFileNames: (info) =>
          (info.names ?? []).some((n) => n.endsWith(".css")) ? "assets/app.css" : "assets/[name][extname]",
        inlineDynamicImports: true,
      },
    },
  },
});
