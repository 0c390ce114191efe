// Application entry point
import { format } from "./util.js";

const API = 'https://example.com/api'; // not a comment: "//"
let count = 0x1F + 1_000 + 2.5e3;

/**
 * A small list model.
 */
class TodoList extends EventTarget {
  constructor(items = []) {
    super();
    this.items = items;
  }

  add(title) {
    this.items.push({ title, done: false });
    this.dispatchEvent(new CustomEvent("change"));
  }

  static async load(url) {
    const response = await fetch(url, { method: "GET" });
    return new TodoList(await response.json());
  }
}

function render(list, root) {
  root.innerHTML = "";
  for (const item of list.items) {
    const li = document.createElement('li');
    li.textContent = `${item.title} (done: ${item.done})`;
    root.appendChild(li);
  }
}

const onReady = async () => {
  const list = await TodoList.load(API + "/todos");
  render(list, document.getElementById("list"));
  setTimeout(() => console.info("loaded", typeof list, null, undefined), 100);
};

window.addEventListener("DOMContentLoaded", onReady);
export { TodoList, render };
