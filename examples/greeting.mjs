export const greeting = (from) => `Hello from ${from}, after a timer`;
